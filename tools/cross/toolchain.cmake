# Cross build of tessel for another Linux architecture with Debian's cross compilers
# (g++-<triplet>); tools/test-cross passes TESSEL_CROSS_TRIPLET and the interpreter's sysroot.
set(CMAKE_SYSTEM_NAME Linux)
if(NOT TESSEL_CROSS_TRIPLET)
  message(FATAL_ERROR "TESSEL_CROSS_TRIPLET names the target, e.g. s390x-linux-gnu")
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${TESSEL_CROSS_TRIPLET}")
set(CMAKE_CXX_COMPILER ${TESSEL_CROSS_TRIPLET}-g++)
# The compiler's own libraries and headers, never the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSEL_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Try-compile projects see the triplet too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESSEL_CROSS_TRIPLET)
