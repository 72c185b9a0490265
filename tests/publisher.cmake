# The publisher's test compares what telvane-publish writes with the demo
# source itself, and runs the program.
if(TARGET tst_publisher AND TARGET telvane_publishing)
    target_link_libraries(tst_publisher PRIVATE telvane_publishing)
    add_dependencies(tst_publisher telvane-publish)
    target_compile_definitions(tst_publisher PRIVATE TELVANE_VERSION="${PROJECT_VERSION}")
endif()
if(TARGET tst_readingtable)
    add_dependencies(tst_readingtable telvane-publish)
endif()
