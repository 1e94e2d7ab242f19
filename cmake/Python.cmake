# The Python interpreter of the tests and the wheel: Debian's /usr/bin/python3, which has
# python3-numpy and python3-pytest. An interpreter found earlier on PATH (a
# pyenv one, say) lacks them, so the system one is preferred unless
# Python3_EXECUTABLE is given.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)
