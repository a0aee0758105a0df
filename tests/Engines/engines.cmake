# The session record on its own.
zuka_add_test(NAME tst_session LABEL engines SOURCES tst_session.cpp LIBS zuka_engines)
