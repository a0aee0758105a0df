# Lane equipment: the barrier against a Modbus TCP controller peer; the board, button and
# loop on the simulated board and on a stand-in of the board maker's library.
zuka_add_test(NAME tst_barrier LABEL lane TIMEOUT 300
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_barrier.cpp LIBS zuka_managers)

# Stand-in of the board maker's library, under the vendor's file name, in a folder of its
# own: only a process started with that folder on its library path finds it.
add_library(susi_standin SHARED ${CMAKE_SOURCE_DIR}/tests/peers/susi_standin.c)
set_target_properties(susi_standin PROPERTIES PREFIX "lib" OUTPUT_NAME "SUSI-4.00" SUFFIX ".so.1"
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/susi)
set(ZUKA_SUSI_DIR ${CMAKE_BINARY_DIR}/tests/susi)

zuka_add_test(NAME tst_mioboard LABEL lane TIMEOUT 120
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mioboard.cpp LIBS zuka_managers)
add_dependencies(tst_mioboard susi_standin)
# The same cases once more with the stand-in library on the library path.
add_test(NAME tst_mioboard_library COMMAND tst_mioboard)
set_tests_properties(tst_mioboard_library PROPERTIES LABELS lane TIMEOUT 120
                     ENVIRONMENT "QT_QPA_PLATFORM=offscreen;BOARD_LIBRARY=1;LD_LIBRARY_PATH=${ZUKA_SUSI_DIR}")

# Neither the program nor the test that loads the stand-in links the vendor's library.
set(_linked $<TARGET_FILE:tst_mioboard>)
if(TARGET zuka-terminal-ui)
  list(APPEND _linked $<TARGET_FILE:zuka-terminal-ui>)
endif()
add_test(NAME lane_no_vendor_link COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/no_vendor_link.sh ${_linked})
set_tests_properties(lane_no_vendor_link PROPERTIES LABELS lane ENVIRONMENT "LD_LIBRARY_PATH=${ZUKA_SUSI_DIR}")
