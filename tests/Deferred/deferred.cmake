zuka_add_test(NAME tst_deferred LABEL deferred SOURCES tst_deferred.cpp DeferredTestSupport.h LIBS zuka_deferred)
zuka_add_test(NAME tst_chain LABEL deferred SOURCES tst_chain.cpp DeferredTestSupport.h LIBS zuka_deferred)
zuka_add_test(NAME tst_threadworker LABEL deferred SOURCES tst_threadworker.cpp LIBS zuka_deferred)
zuka_add_test(NAME tst_resulttypes LABEL deferred SOURCES tst_resulttypes.cpp LIBS zuka_cameras)
