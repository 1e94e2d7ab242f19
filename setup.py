"""The wheel carries the native libtavoble, loaded with ctypes (no Python
extension is compiled): it is tagged for any Python 3 and for the platform of
the library inside it, named by its folder tavo_ble/lib/native/linux/<arch>/,
whatever interpreter builds it. Everything else is in pyproject.toml."""
import os

from setuptools import Distribution, setup

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: sdists and plain installs still work
    bdist_wheel = None

NATIVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "src", "tavo_ble", "lib", "native")

# Folder of a library build -> wheel platform tag. The library links the
# system's libsystemd and libstdc++, which no manylinux policy allows, so the
# tag is the plain one for Linux.
PLATFORM_TAGS = {
    ("linux", "x64"): "linux_x86_64",
    ("linux", "arm64"): "linux_aarch64",
}


def native_platform_tag():
    """The tag of the one library build staged under native/, or None when there is none."""
    builds = []
    if os.path.isdir(NATIVE):
        for system in sorted(os.listdir(NATIVE)):
            folder = os.path.join(NATIVE, system)
            if os.path.isdir(folder):
                builds += [(system, arch) for arch in sorted(os.listdir(folder))]
    if not builds:
        return None
    if len(builds) > 1:
        raise SystemExit("one library build per wheel, found: %s" % ", ".join("/".join(b) for b in builds))
    if builds[0] not in PLATFORM_TAGS:
        raise SystemExit("no wheel platform tag for a library in native/%s" % "/".join(builds[0]))
    return PLATFORM_TAGS[builds[0]]


class NativeDistribution(Distribution):
    """Holds a native library: installed as platform-specific files."""

    def has_ext_modules(self):
        return True


cmdclass = {}
if bdist_wheel is not None:

    class PlatformWheel(bdist_wheel):
        def get_tag(self):
            return ("py3", "none", native_platform_tag() or super().get_tag()[2])

    cmdclass["bdist_wheel"] = PlatformWheel

setup(distclass=NativeDistribution, cmdclass=cmdclass)
