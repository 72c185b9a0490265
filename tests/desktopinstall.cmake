# Linux desktop integration: what `cmake --install` puts where a desktop's
# application menu finds it.
if(UNIX AND NOT APPLE)
    add_test(NAME desktopinstall
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/desktopinstall.sh
                     ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/desktopinstall)
    set_tests_properties(desktopinstall PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
