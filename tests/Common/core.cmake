# Application core: configuration store, logger, SQLite connections, QR codes.
zuka_add_test(NAME tst_config LABEL core SOURCES tst_config.cpp LIBS zuka_common)
zuka_add_test(NAME tst_logger LABEL core SOURCES tst_logger.cpp LIBS zuka_common)
zuka_add_test(NAME tst_sqldatabase LABEL core SOURCES tst_sqldatabase.cpp LIBS zuka_common)
zuka_add_test(NAME tst_qrcode LABEL core SOURCES tst_qrcode.cpp LIBS zuka_common)
