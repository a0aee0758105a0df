zuka_add_test(NAME tst_httpserver LABEL transport SOURCES tst_httpserver.cpp LIBS zuka_common)
zuka_add_test(NAME tst_httpclient LABEL transport SOURCES tst_httpclient.cpp LIBS zuka_common)
