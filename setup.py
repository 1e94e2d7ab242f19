"""The wheel carries the native libtavoble, so it is tagged for the platform
it was built on (linux_x86_64, linux_aarch64), for any Python 3: the library
is loaded with ctypes, no Python extension is compiled. Everything else is in
pyproject.toml."""
from setuptools import Distribution, setup

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: sdists and plain installs still work
    bdist_wheel = None


class NativeDistribution(Distribution):
    """Holds a native library: installed as platform-specific files."""

    def has_ext_modules(self):
        return True


cmdclass = {}
if bdist_wheel is not None:

    class PlatformWheel(bdist_wheel):
        def get_tag(self):
            return ("py3", "none", super().get_tag()[2])

    cmdclass["bdist_wheel"] = PlatformWheel

setup(distclass=NativeDistribution, cmdclass=cmdclass)
