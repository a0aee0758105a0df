zuka_add_test(NAME tst_httpserver LABEL transport SOURCES tst_httpserver.cpp LIBS zuka_common)
