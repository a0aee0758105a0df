# The headless lane runner, for end-to-end tests.
add_executable(lane_runner ${CMAKE_CURRENT_LIST_DIR}/lane_runner.cpp)
target_link_libraries(lane_runner PRIVATE zuka_gui zuka_engines)
# The terminal with its peers, and the runner killed while it sends.
zuka_add_test(NAME tst_terminal LABEL backoffice TIMEOUT 400 COST 20
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_terminal.cpp LIBS zuka_gui zuka_engines)
add_dependencies(tst_terminal lane_runner)
add_dependencies(tst_lane lane_runner)
# The storage box.
zuka_add_test(NAME tst_storagebox LABEL engines SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_storagebox.cpp
              LIBS zuka_engines)
