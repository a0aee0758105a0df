zuka_add_test(NAME tst_deferred LABEL deferred SOURCES tst_deferred.cpp LIBS zuka_deferred)
