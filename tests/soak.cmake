# Soak and fault tests, short versions (tests/soak.sh runs the long ones):
# the built telvane under the product's section name and port, with
# telvane-publish or tests/soak/sectionchurn as the writer and a Python client.
add_executable(soak_sectionchurn ${CMAKE_CURRENT_SOURCE_DIR}/soak/sectionchurn.cpp)
set_target_properties(soak_sectionchurn PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
                                                   AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
target_link_libraries(soak_sectionchurn PRIVATE telvane_sectionwriter)

find_program(TELVANE_PYTHON3 python3)
if(TELVANE_PYTHON3 AND TARGET telvane-publish)
    set(_soak ${TELVANE_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak.py --build ${CMAKE_BINARY_DIR})
    if(TELVANE_SANITIZE)
        # AddressSanitizer's quarantine keeps freed memory resident for a while.
        list(APPEND _soak --no-memory-checks)
    endif()
    add_test(NAME soak_connections COMMAND ${_soak} connections --count 2000)
    add_test(NAME soak_stuck_client COMMAND ${_soak} stuck --seconds 18)
    add_test(NAME soak_count_churn COMMAND ${_soak} churn --seconds 20)
    add_test(NAME soak_shrink_flip COMMAND ${_soak} shrink --seconds 10)
    add_test(NAME soak_publisher_killed COMMAND ${_soak} publisher-killed)
    add_test(NAME soak_publisher_restart COMMAND ${_soak} restart)
    add_test(NAME soak_publisher_restarted COMMAND ${_soak} publisher-restarted)
    add_test(NAME soak_chip_swap COMMAND ${_soak} swap --count 10)
    add_test(NAME soak_publisher_changing_tree COMMAND ${_soak} publisher --seconds 40)
    set_tests_properties(soak_connections soak_stuck_client soak_count_churn soak_shrink_flip soak_publisher_killed
                         soak_publisher_restart soak_publisher_restarted soak_chip_swap soak_publisher_changing_tree
                         PROPERTIES RESOURCE_LOCK product TIMEOUT 600 LABELS soak)
else()
    message(STATUS "soak tests left out: no python3 or no telvane-publish")
endif()

# A /dev/shm too full for the section, in a mount namespace of its own.
if(TARGET telvane-publish AND UNIX AND NOT APPLE)
    add_test(NAME publisher_full_shm COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/fullshm.sh $<TARGET_FILE:telvane-publish>)
    set_tests_properties(publisher_full_shm PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()
