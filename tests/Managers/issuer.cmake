# The card issuer against a real broker and the simulated lane card devices.
zuka_add_test(NAME tst_cardissuer LABEL card TIMEOUT 300 COST 25
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_cardissuer.cpp ${CMAKE_CURRENT_LIST_DIR}/LaneSimFixture.cpp ${CMAKE_CURRENT_LIST_DIR}/LaneSimFixture.h
              LIBS zuka_managers)
