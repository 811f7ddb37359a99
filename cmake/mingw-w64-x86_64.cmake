# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (POSIX threads, as Qt needs), against
# the prefix that scripts/windows/build-deps.sh fills (ORVI_WINDOWS_PREFIX).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Kept through try_compile projects, which see only the listed variables.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVI_WINDOWS_PREFIX)
if(NOT ORVI_WINDOWS_PREFIX AND DEFINED ENV{ORVI_WINDOWS_PREFIX})
    set(ORVI_WINDOWS_PREFIX "$ENV{ORVI_WINDOWS_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${ORVI_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
