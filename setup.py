"""The wheel carries the native libtavoble, so it is tagged for the platform
it was built on (linux_x86_64, linux_aarch64), for any Python 3: the library
is loaded with ctypes, no Python extension is compiled. Everything else is in
pyproject.toml."""
from setuptools import setup

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: sdists and plain installs still work
    bdist_wheel = None

cmdclass = {}
if bdist_wheel is not None:

    class PlatformWheel(bdist_wheel):
        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            return ("py3", "none", super().get_tag()[2])

    cmdclass["bdist_wheel"] = PlatformWheel

setup(cmdclass=cmdclass)
