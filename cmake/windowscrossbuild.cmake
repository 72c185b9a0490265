# The Windows build, cross-compiled beside this one (into windows-build/) when
# a Qt, an OpenSSL, a yaml-cpp and a libmosquitto for MinGW are in the cache
# (scripts/windows-qt.sh and scripts/windows-deps.sh build them): its
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
set(TELVANE_WINDOWS_DEPS "" CACHE STRING
    "OpenSSL, yaml-cpp and libmosquitto for MinGW, their prefixes (default: those scripts/windows-deps.sh caches)")
set(_deps "${TELVANE_WINDOWS_DEPS}")
if(NOT _deps)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/windows-deps.sh --print-prefix
                    OUTPUT_VARIABLE _deps OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" _deps "${_deps}")
    foreach(_prefix ${_deps})
        if(NOT EXISTS "${_prefix}/.telvane-deps-complete")
            set(_deps "")
        endif()
    endforeach()
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
elseif(NOT _deps)
    set(TELVANE_WINDOWS_REASON "no OpenSSL, yaml-cpp and libmosquitto for MinGW are cached: run scripts/windows-deps.sh, "
                               "then cmake again")
endif()

if(TELVANE_WINDOWS_REASON)
    message(STATUS "Windows cross build: skipped, ${TELVANE_WINDOWS_REASON}")
else()
    message(STATUS "Windows cross build: with Qt in ${_qt}, OpenSSL, yaml-cpp and libmosquitto in ${_deps}")
    string(REPLACE ";" "|" _prefixes "${_qt};${_deps}")
    include(ExternalProject)
    ExternalProject_Add(telvane_windows
        SOURCE_DIR ${CMAKE_SOURCE_DIR}
        BINARY_DIR ${TELVANE_WINDOWS_BUILD}
        LIST_SEPARATOR |
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-w64.cmake
                   -DCMAKE_PREFIX_PATH=${_prefixes}
                   -DCMAKE_BUILD_TYPE=Release
                   -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
                   -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
        USES_TERMINAL_BUILD ON)
endif()
