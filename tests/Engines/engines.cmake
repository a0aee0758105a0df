# The session record on its own.
zuka_add_test(NAME tst_lanesession LABEL engines SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_lanesession.cpp LIBS zuka_engines)
# Whole passages over every peer, with the terminal supervising the engine (the cameras
# are told where to post from the camera settings file beside the test). In two parts that
# run side by side: the exit lane's passages ("exit..."), and every other row (the entry
# lane's passages, the runner killed in a passage).
configure_file(${CMAKE_SOURCE_DIR}/src/Cameras/cameraSettings.json ${CMAKE_CURRENT_BINARY_DIR}/cameraSettings.json
               COPYONLY)
zuka_add_test(NAME tst_lane LABEL engines TIMEOUT 600 COST 150 80 PARTS exit "^exit" entry "^(?!exit)"
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_lane.cpp ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.cpp
                      ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.h
              LIBS zuka_gui zuka_engines)
target_include_directories(tst_lane PRIVATE ${PROJECT_SOURCE_DIR}/tests/Managers)
# The exit lane's card path against a real broker and the simulated card devices.
zuka_add_test(NAME tst_cardpath LABEL engines TIMEOUT 300 COST 30
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_cardpath.cpp ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.cpp
                      ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.h
              LIBS zuka_engines)
target_include_directories(tst_cardpath PRIVATE ${PROJECT_SOURCE_DIR}/tests/Managers)
