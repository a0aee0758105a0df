# The local service clients against a real broker and the simulated services peer; the
# clock manager against stand-ins of the system tools.
zuka_add_test(NAME tst_serviceclients LABEL services TIMEOUT 180
              SOURCES tst_serviceclients.cpp LIBS zuka_managers)
zuka_add_test(NAME tst_clock LABEL services TIMEOUT 120
              SOURCES tst_clock.cpp LIBS zuka_managers)
