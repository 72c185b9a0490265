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
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-w64.cmake
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

# The whole Windows build (cmake/windowscrossbuild.cmake) under Wine: the zip
# end to end with the Linux client, and the test programs that make sense on
# Windows. Skipped, with the reason, where there is no Windows build.
add_test(NAME windows_zip
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/zip-under-wine.sh
                 ${TELVANE_WINDOWS_ZIP} $<TARGET_FILE:telvane-client> ${CMAKE_BINARY_DIR}/wine-zip)
add_test(NAME windows_qttests
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/qttests-under-wine.sh
                 ${TELVANE_WINDOWS_BUILD} ${CMAKE_BINARY_DIR}/wine-qttests "${TELVANE_WINDOWS_REASON}")
set_tests_properties(windows_zip windows_qttests PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 1200 LABELS "nosan;windows")
