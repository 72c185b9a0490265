# The command-line companions' own pieces, for their tests: the client's
# parsing and formatting, and the Linux sensor collector.
if(TARGET tst_replyparser AND TARGET telvane_clientlib)
    target_link_libraries(tst_replyparser PRIVATE telvane_clientlib)
endif()
if(TARGET tst_linuxsensors AND TARGET telvane_linuxsensors)
    target_link_libraries(tst_linuxsensors PRIVATE telvane_linuxsensors)
endif()
if(TARGET tst_client AND TARGET telvane-client)
    target_link_libraries(tst_client PRIVATE telvane_clientlib)
    add_dependencies(tst_client telvane-client)
endif()
