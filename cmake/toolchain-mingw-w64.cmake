# Cross-compiling for 64-bit Windows with Debian's MinGW-w64:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake \
#         -DCMAKE_PREFIX_PATH="<Qt for MinGW>;<OpenSSL>;<yaml-cpp>"
# (scripts/windows-qt.sh and scripts/windows-deps.sh print those prefixes).
# The -posix compilers: Qt for MinGW is built with POSIX threads, and the
# program must share its C++ runtime (the default compilers use win32 threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TELVANE_MINGW_TARGET x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${TELVANE_MINGW_TARGET}-gcc-posix ${TELVANE_MINGW_TARGET}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${TELVANE_MINGW_TARGET}-g++-posix ${TELVANE_MINGW_TARGET}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${TELVANE_MINGW_TARGET}-windres)

# Headers and libraries from the MinGW tree and the cross-built prefixes only;
# programs (moc, uic, rcc of the cross-built Qt) run on this computer.
# Packages (Qt's and yaml-cpp's CMake files) are found through
# CMAKE_PREFIX_PATH as well; OpenSSL, which has none, under its prefix.
set(CMAKE_FIND_ROOT_PATH /usr/${TELVANE_MINGW_TARGET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
