# The Windows icon and manifest, checked on Linux with MinGW's binutils and
# icoutils; skipped, with the reason, where those are missing.
add_test(NAME winresources
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/winresources.sh
                 ${CMAKE_SOURCE_DIR}/res/telvane.rc ${CMAKE_CURRENT_BINARY_DIR}/winresources)
set_tests_properties(winresources PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS nosan)
