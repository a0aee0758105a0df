# Lane equipment: the barrier against a Modbus TCP controller peer; the board, button and
# loop on the simulated board and on a stand-in of the board maker's library.
zuka_add_test(NAME tst_barrier LABEL lane TIMEOUT 300 COST 100
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_barrier.cpp LIBS zuka_managers)

# The stand-in library under the vendor's file name, in a folder that only processes
# started with it on their library path search.
set(_susi ${CMAKE_BINARY_DIR}/tests/susi)
add_library(susi_standin SHARED ${CMAKE_SOURCE_DIR}/tests/peers/susi_standin.c)
set_target_properties(susi_standin PROPERTIES PREFIX "lib" OUTPUT_NAME "SUSI-4.00" SUFFIX ".so.1"
                      LIBRARY_OUTPUT_DIRECTORY ${_susi})
zuka_add_test(NAME tst_mioboard LABEL lane TIMEOUT 120
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mioboard.cpp LIBS zuka_managers)
add_dependencies(tst_mioboard susi_standin)
add_test(NAME tst_mioboard_library COMMAND tst_mioboard)
set_tests_properties(tst_mioboard_library PROPERTIES LABELS lane TIMEOUT 120
                     ENVIRONMENT "QT_QPA_PLATFORM=offscreen;BOARD_LIBRARY=1;LD_LIBRARY_PATH=${_susi}")

# Neither the program nor the test that loads the stand-in links the library: with the
# stand-in on the path, ldd would list it.
set(_bins $<TARGET_FILE:tst_mioboard>)
if(TARGET zuka-terminal-ui)
  list(APPEND _bins $<TARGET_FILE:zuka-terminal-ui>)
endif()
add_test(NAME lane_no_vendor_link COMMAND sh -c "for b; do ldd \"$b\" >/dev/null && ! ldd \"$b\" | grep -i susi || exit 1; done" sh ${_bins})
set_tests_properties(lane_no_vendor_link PROPERTIES LABELS lane ENVIRONMENT "LD_LIBRARY_PATH=${_susi}")
