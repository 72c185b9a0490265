# The section layer's Windows code, cross-compiled with MinGW-w64 into a small
# Windows program (tests/windows/) and run under Wine: the writer creates
# "Global\HWiNFO_SENS_SM2", a second process opens and maps it read-only and
# reads it back. Skipped, with the reason, where MinGW-w64 or Wine is missing.
find_program(TELVANE_MINGW_CXX x86_64-w64-mingw32-g++)
set(_sectionpath_dir ${CMAKE_BINARY_DIR}/windows)
if(TELVANE_MINGW_CXX AND NOT WIN32)
    include(ExternalProject)
    ExternalProject_Add(windows_sectionpath
        SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/windows
        BINARY_DIR ${_sectionpath_dir}
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_SOURCE_DIR}/windows/toolchain-mingw-w64.cmake
                   -DCMAKE_BUILD_TYPE=Release
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
        USES_TERMINAL_BUILD ON)
endif()
add_test(NAME windows_sectionpath
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/run-under-wine.sh
                 ${_sectionpath_dir}/sectionpath.exe ${CMAKE_BINARY_DIR}/wineprefix)
# Uses the product's section name, though inside Wine's own namespace.
set_tests_properties(windows_sectionpath PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 420 LABELS "nosan;windows")
