# The Windows build, cross-compiled beside this one (into windows-build/) when
# a Qt for MinGW is in the cache (scripts/windows-qt.sh builds it): its
# programs, its test programs, telvane-<version>-win64.zip and the installer
# telvane-<version>-win64-setup.exe. The windows tests run them under Wine.
option(TELVANE_WINDOWS "Cross-build for Windows too, when a Qt for MinGW is cached" ON)
set(TELVANE_WINDOWS_QT "" CACHE PATH "Qt for MinGW (default: the one scripts/windows-qt.sh caches)")
set(TELVANE_WINDOWS_BUILD ${CMAKE_BINARY_DIR}/windows-build)
set(TELVANE_WINDOWS_ZIP ${TELVANE_WINDOWS_BUILD}/telvane-${PROJECT_VERSION}-win64.zip)
set(TELVANE_WINDOWS_SETUP ${TELVANE_WINDOWS_BUILD}/telvane-${PROJECT_VERSION}-win64-setup.exe)
set(TELVANE_WINDOWS_REASON "")

set(_qt "${TELVANE_WINDOWS_QT}")
if(NOT _qt)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/windows-qt.sh --print-prefix
                    OUTPUT_VARIABLE _qt OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT EXISTS "${_qt}/.telvane-qt-complete")
        set(_qt "")
    endif()
endif()
find_program(TELVANE_MINGW_POSIX_CXX x86_64-w64-mingw32-g++-posix)

if(NOT TELVANE_WINDOWS)
    set(TELVANE_WINDOWS_REASON "TELVANE_WINDOWS is off")
elseif(TELVANE_SANITIZE)
    set(TELVANE_WINDOWS_REASON "not in the sanitizer build")
elseif(NOT TELVANE_MINGW_POSIX_CXX)
    set(TELVANE_WINDOWS_REASON "x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64-posix) is not installed")
elseif(NOT _qt)
    set(TELVANE_WINDOWS_REASON "no Qt for MinGW is cached: run scripts/windows-qt.sh, then cmake again")
endif()

if(TELVANE_WINDOWS_REASON)
    message(STATUS "Windows cross build: skipped, ${TELVANE_WINDOWS_REASON}")
else()
    message(STATUS "Windows cross build: with Qt in ${_qt}")
    include(ExternalProject)
    ExternalProject_Add(telvane_windows
        SOURCE_DIR ${CMAKE_SOURCE_DIR}
        BINARY_DIR ${TELVANE_WINDOWS_BUILD}
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-w64.cmake
                   -DCMAKE_PREFIX_PATH=${_qt}
                   -DCMAKE_BUILD_TYPE=Release
                   -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
                   -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
        USES_TERMINAL_BUILD ON)
endif()
