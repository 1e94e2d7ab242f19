#!/usr/bin/env bash
# Builds SimpleBLE from a source archive (by default the shared third-party
# folder beside the repository) into a cache folder named after the archive's
# SHA-256, so a machine pays for the build once. Prints the install prefix on
# its last line of output. Needs libdbus-1-dev (scripts/setup.sh).
#
# Usage: scripts/build-simpleble.sh [archive]
#   TAVOBLE_CACHE  where builds are kept (default ${XDG_CACHE_HOME:-~/.cache}/libtavoble)
# Exit status 3 when the archive is absent (nothing built).
set -euo pipefail
cd "$(dirname "$0")/.."
archive=${1:-../shared/third-party/simpleble-1.1.0.tar.gz}
if [ ! -f "$archive" ]; then
  echo "SimpleBLE source archive $archive is absent: nothing to build" >&2
  exit 3
fi
cache=${TAVOBLE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/libtavoble}
hash=$(sha256sum "$archive" | cut -c1-16)
prefix="$cache/simpleble-$hash"
# The stamp is written last: a build that was cut short is done again.
if [ ! -f "$prefix/.complete" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  rm -rf "$prefix"
  tar xzf "$archive" -C "$work"
  src=$(find "$work" -mindepth 2 -maxdepth 2 -type d -name simpleble | head -n 1)
  [ -n "$src" ] || { echo "no simpleble folder in $archive" >&2; exit 1; }
  cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DCMAKE_INSTALL_PREFIX="$prefix" >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; exit 1; }
  cmake --build "$work/build" -j"$(nproc)" >"$work/build.log" 2>&1 ||
    { tail -n 60 "$work/build.log" >&2; exit 1; }
  cmake --install "$work/build" >/dev/null
  sha256sum "$archive" >"$prefix/.complete"
  echo "SimpleBLE built from $archive into $prefix" >&2
else
  echo "SimpleBLE from the cache: $prefix" >&2
fi
echo "$prefix"
