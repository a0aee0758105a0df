# The reader and dispenser clients against a real broker and the simulated lane peer.
set(_lane_fixture ${CMAKE_CURRENT_LIST_DIR}/LaneSimFixture.cpp ${CMAKE_CURRENT_LIST_DIR}/LaneSimFixture.h)
zuka_add_test(NAME tst_rfidclient LABEL card TIMEOUT 120
              SOURCES tst_rfidclient.cpp ${_lane_fixture} LIBS zuka_managers)
zuka_add_test(NAME tst_dispenserclient LABEL card TIMEOUT 120
              SOURCES tst_dispenserclient.cpp ${_lane_fixture} LIBS zuka_managers)
