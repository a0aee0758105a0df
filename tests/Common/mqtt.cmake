# The MQTT transport: broker connection, topic waits and request/response calls.
add_executable(mqtt_will_holder ${CMAKE_CURRENT_LIST_DIR}/mqtt_will_holder.cpp)
target_link_libraries(mqtt_will_holder PRIVATE zuka_common)

zuka_add_test(NAME tst_mqttclient LABEL transport TIMEOUT 180 COST 30
              SOURCES tst_mqttclient.cpp LIBS zuka_common)
add_dependencies(tst_mqttclient mqtt_will_holder)

zuka_add_test(NAME tst_mqttrpc LABEL transport TIMEOUT 180
              SOURCES tst_mqttrpc.cpp LIBS zuka_common)
