# The session record on its own.
zuka_add_test(NAME tst_session LABEL engines SOURCES tst_session.cpp LIBS zuka_engines)
# tst_lane.cpp (whole passages over every peer) is registered together with the terminal
# it drives: it needs Terminal's session, engine and supervision.
