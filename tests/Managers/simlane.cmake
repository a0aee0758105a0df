# Self-test of the simulated card reader and dispenser services (a Python test peer).
add_test(NAME lane_sim_selftest
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/peers/test_lane_sim.py)
set_tests_properties(lane_sim_selftest PROPERTIES LABELS card TIMEOUT 120)
