# The run command (scripts/run.sh) on this build: its banner, port 8881, and
# Ctrl+C stopping both programs. Network and mount namespaces, so root.
if(TARGET telvane AND TARGET telvane-publish AND TARGET telvane-client AND TARGET telvane-hub AND UNIX AND NOT APPLE)
    add_test(NAME runcommand
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/runcommand.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
    # The run command brings the programs up to date: no other build in this
    # folder at the same time.
    set_tests_properties(runcommand PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RESOURCE_LOCK build_folder)
endif()
