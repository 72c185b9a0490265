# The service's files as installed: systemd user units and manual pages.
if(UNIX AND NOT APPLE)
    foreach(_what units manpages)
        add_test(NAME serviceinstall_${_what}
                 COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/serviceinstall.sh ${_what}
                         ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/serviceinstall_${_what} ${TELVANE_USER_UNIT_DIR})
        set_tests_properties(serviceinstall_${_what} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
    endforeach()
endif()
