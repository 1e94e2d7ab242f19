#!/usr/bin/env bash
# Lab Streaming Layer for the tests: builds liblsl and unpacks pylsl from the
# shared third-party folder into a cache keyed by the archives' hashes (the
# first run takes about 35 s on two cores, later runs nothing), then prints the
# environment that makes pylsl load that liblsl and keeps LSL on the loopback
# interface:
#
#   eval "$(bash scripts/third-party-lsl.sh)"
#   python3 -c 'import pylsl; print(pylsl.library_version())'
#
# Prints `export NAME='value'` lines: PYLSL_LIB, TAVOBLE_PYLSL_SRC (the folder
# to put on PYTHONPATH), PYTHONPATH (with it in front) and LSLAPICFG (the
# folder's loopback-only configuration). The tests use a copy with a session
# of their own and the known peers in [lab], where liblsl reads them: with
# the folder's file as it is, of several outlets on this machine an inlet
# finds only one (see src/tavo_ble/tests/lsl_env.py). Exits 3, printing
# nothing on stdout, when the folder or one of its archives is absent (a
# fresh clone without it).
#
# TAVOBLE_THIRD_PARTY names the folder (default: ../shared/third-party beside
# the repository); TAVOBLE_CACHE_DIR the cache (default: ~/.cache/tavoble).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
third_party=${TAVOBLE_THIRD_PARTY:-$repo/../shared/third-party}
liblsl_archive=$third_party/liblsl-1.16.2.tar.gz
pylsl_archive=$third_party/pylsl-1.18.2.tar.gz
config=$third_party/lsl_api.cfg
for f in "$liblsl_archive" "$pylsl_archive" "$config"; do
  if [ ! -f "$f" ]; then
    echo "third-party-lsl: $f is absent" >&2
    exit 3
  fi
done
third_party=$(cd "$third_party" && pwd -P)
liblsl_archive=$third_party/liblsl-1.16.2.tar.gz
pylsl_archive=$third_party/pylsl-1.18.2.tar.gz
config=$third_party/lsl_api.cfg

cache=${TAVOBLE_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tavoble}
mkdir -p "$cache"
hash_of() { sha256sum "$1" | cut -c1-16; }
liblsl_prefix=$cache/liblsl-1.16.2-$(hash_of "$liblsl_archive")
pylsl_root=$cache/pylsl-1.18.2-$(hash_of "$pylsl_archive")

# One builder at a time (parallel test runs share the cache); the others wait
# and then find the finished build.
exec 9>"$cache/lsl.lock"
flock 9

if [ ! -f "$liblsl_prefix/.complete" ]; then
  rm -rf "$liblsl_prefix"
  work=$(mktemp -d "$cache/liblsl-work.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "third-party-lsl: building liblsl into $liblsl_prefix ..." >&2
  tar xzf "$liblsl_archive" -C "$work"
  {
    cmake -S "$work/liblsl-1.16.2" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
      -DLSL_UNIXFOLDERS=ON -DCMAKE_INSTALL_PREFIX="$liblsl_prefix"
    cmake --build "$work/build" -j"$(nproc)"
    cmake --install "$work/build"
  } >"$work/log" 2>&1 || {
    tail -n 40 "$work/log" >&2
    echo "third-party-lsl: the liblsl build failed" >&2
    exit 1
  }
  touch "$liblsl_prefix/.complete"
fi

if [ ! -f "$pylsl_root/.complete" ]; then
  rm -rf "$pylsl_root"
  mkdir -p "$pylsl_root"
  tar xzf "$pylsl_archive" -C "$pylsl_root"
  touch "$pylsl_root/.complete"
fi

library=$(find "$liblsl_prefix" -name 'liblsl.so' -print -quit)
pylsl_src=$pylsl_root/pylsl-1.18.2/src
if [ -z "$library" ] || [ ! -f "$pylsl_src/pylsl/__init__.py" ]; then
  echo "third-party-lsl: no liblsl.so or pylsl in the cache $cache" >&2
  exit 1
fi

quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
echo "export PYLSL_LIB=$(quote "$library")"
echo "export TAVOBLE_PYLSL_SRC=$(quote "$pylsl_src")"
echo "export PYTHONPATH=$(quote "$pylsl_src${PYTHONPATH:+:$PYTHONPATH}")"
echo "export LSLAPICFG=$(quote "$config")"
