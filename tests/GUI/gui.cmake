# The operator interface's logic: event log, maintenance login, screens, supervision.
zuka_add_test(NAME tst_eventlog LABEL gui SOURCES tst_eventlog.cpp LIBS zuka)
zuka_add_test(NAME tst_session LABEL gui SOURCES tst_session.cpp LIBS zuka)
zuka_add_test(NAME tst_guilogic LABEL gui SOURCES tst_guilogic.cpp LIBS zuka)
