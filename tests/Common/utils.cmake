zuka_add_test(NAME tst_utils LABEL deferred SOURCES tst_utils.cpp LIBS zuka_common)
