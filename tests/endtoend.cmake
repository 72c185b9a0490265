# End to end on Linux: telvane-publish on a fixture tree, telvane offscreen,
# telvane-client --json --watch. Uses the product's section name and port 8881.
if(TARGET telvane-publish AND TARGET telvane AND TARGET telvane-client AND UNIX AND NOT APPLE)
    add_test(NAME endtoend_publish_telvane_client
             COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/endtoend.sh
                     $<TARGET_FILE:telvane-publish> $<TARGET_FILE:telvane> $<TARGET_FILE:telvane-client>
                     ${CMAKE_CURRENT_SOURCE_DIR}/data/linux/desktop)
    set_tests_properties(endtoend_publish_telvane_client PROPERTIES
        RESOURCE_LOCK product SKIP_RETURN_CODE 77 TIMEOUT 180 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endif()
