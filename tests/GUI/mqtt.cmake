# The root object's broker connection.
zuka_add_test(NAME tst_guimqtt LABEL transport SOURCES tst_guimqtt.cpp LIBS zuka)
