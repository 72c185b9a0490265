# The hub with real parts (tests/hub/endtoend.sh: network namespaces, so root;
# prometheus and chromium, so first pass only), and many viewers against
# stand-in Telvanes (tests/hub/viewers.py; tests/soak.sh runs it longer).
if(TARGET telvane-hub AND TARGET telvane AND TARGET telvane-publish AND TARGET telvane-client)
    add_test(NAME hub_endtoend
             COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/hub/endtoend.sh ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/tests/hub.png)
    set_tests_properties(hub_endtoend PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS nosan)
endif()
find_program(TELVANE_PYTHON3 python3)
if(TARGET telvane-hub AND TELVANE_PYTHON3)
    set(_viewers ${TELVANE_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/hub/viewers.py ${CMAKE_BINARY_DIR} --seconds 30)
    if(TELVANE_SANITIZE)
        # AddressSanitizer's quarantine keeps freed memory resident for a while.
        list(APPEND _viewers --no-memory-checks)
    endif()
    add_test(NAME hub_viewers COMMAND ${_viewers})
    set_tests_properties(hub_viewers PROPERTIES TIMEOUT 300 LABELS soak)
endif()
