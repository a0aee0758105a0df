# The session record on its own.
zuka_add_test(NAME tst_lanesession LABEL engines SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_lanesession.cpp LIBS zuka_engines)
# Whole passages over every peer, with the terminal supervising the engine (the cameras
# are told where to post from the camera settings file beside the test). In two parts that
# run side by side: the exit lane's passages ("exit..."), and every other row (the entry
# lane's passages, the runner killed in a passage). A failing row shows its whole log: Qt Test
# would stop printing after 2000 messages.
configure_file(${CMAKE_SOURCE_DIR}/src/Cameras/cameraSettings.json ${CMAKE_CURRENT_BINARY_DIR}/cameraSettings.json
               COPYONLY)
zuka_add_test(NAME tst_lane LABEL engines TIMEOUT 600 COST 230 150 PARTS exit "^exit" entry "^(?!exit)"
              ARGS -maxwarnings 0
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_lane.cpp ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.cpp
                      ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.h
              LIBS zuka_gui zuka_engines)
target_include_directories(tst_lane PRIVATE ${PROJECT_SOURCE_DIR}/tests/Managers)
# The disk syncs of a passage, counted in the test's own process, where the terminal runs.
add_library(tst_lane_sync_counter OBJECT ${PROJECT_SOURCE_DIR}/bench/passage/sync_counter.c)
target_sources(tst_lane PRIVATE $<TARGET_OBJECTS:tst_lane_sync_counter>)
target_link_libraries(tst_lane PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(tst_lane PROPERTIES ENABLE_EXPORTS ON)
# The exit lane's card path against a real broker and the simulated card devices.
zuka_add_test(NAME tst_cardpath LABEL engines TIMEOUT 300 COST 30
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_cardpath.cpp ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.cpp
                      ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.h
              LIBS zuka_engines)
target_include_directories(tst_cardpath PRIVATE ${PROJECT_SOURCE_DIR}/tests/Managers)
