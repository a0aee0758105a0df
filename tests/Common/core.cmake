# Application core: configuration store, logger, SQLite connections.
zuka_add_test(NAME tst_config LABEL core SOURCES tst_config.cpp LIBS zuka_common)
add_executable(exit_line_probe ${CMAKE_CURRENT_LIST_DIR}/exit_line_probe.cpp)
target_link_libraries(exit_line_probe PRIVATE zuka_common)
zuka_add_test(NAME tst_logger LABEL core SOURCES tst_logger.cpp LIBS zuka_common)
add_dependencies(tst_logger exit_line_probe)
zuka_add_test(NAME tst_sqldatabase LABEL core SOURCES tst_sqldatabase.cpp LIBS zuka_common)
