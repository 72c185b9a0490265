# The Debian package: made with cpack from this build, unpacked into a
# throwaway root, checked with lintian, and its telvane-client run from there.
add_test(NAME debpackage
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/debpackage.sh
                 ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/debpackage)
# A package is made of a release build, not of the sanitizer pass's.
set_tests_properties(debpackage PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS nosan)
