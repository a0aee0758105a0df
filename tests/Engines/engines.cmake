# The session record on its own.
zuka_add_test(NAME tst_session LABEL engines SOURCES tst_session.cpp LIBS zuka_engines)
# Whole passages over every peer, once the terminal is in.
if(EXISTS ${CMAKE_SOURCE_DIR}/src/Engines/Terminal.h)
  zuka_add_test(NAME tst_lane LABEL engines TIMEOUT 600
    SOURCES tst_lane.cpp ${CMAKE_SOURCE_DIR}/tests/Managers/LaneSimFixture.cpp LIBS zuka)
  target_include_directories(tst_lane PRIVATE ${CMAKE_SOURCE_DIR}/tests/Managers)
endif()
