# Lane equipment: the barrier against a Modbus TCP controller peer; the board, button and
# loop on the simulated board and on a stand-in of the board maker's library.
zuka_add_test(NAME tst_barrier LABEL lane TIMEOUT 300
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_barrier.cpp LIBS zuka_managers)
