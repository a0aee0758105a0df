# The card issuer against a real broker and the simulated lane card devices.
zuka_add_test(NAME tst_cardissuer LABEL card TIMEOUT 300
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_cardissuer.cpp
                      ${CMAKE_SOURCE_DIR}/tests/Common/MqttPeer.cpp ${CMAKE_SOURCE_DIR}/tests/Common/MqttPeer.h
              LIBS zuka_managers PkgConfig::MOSQUITTO)
target_include_directories(tst_cardissuer PRIVATE ${CMAKE_SOURCE_DIR}/tests/Common)
