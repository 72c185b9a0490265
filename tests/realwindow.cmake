# Telvane in a real window on a private X server (Xvfb), reading the section of
# `telvane-publish --demo`. Uses the product's section name and port, and is
# not run under the sanitizers.
if(TARGET telvane-publish)
    add_test(NAME realwindow
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/realwindow.sh
                     $<TARGET_FILE:telvane> $<TARGET_FILE:telvane-publish>
                     ${CMAKE_CURRENT_BINARY_DIR}/realwindow/screenshot.png)
    set_tests_properties(realwindow PROPERTIES
        SKIP_RETURN_CODE 77 TIMEOUT 180 RESOURCE_LOCK product LABELS nosan)
else()
    message(STATUS "realwindow test left out: no telvane-publish target")
endif()
