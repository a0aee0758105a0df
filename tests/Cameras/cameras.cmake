# Camera readings, posts and waits on their own; the camera manager against camera peers
# on their own loopback addresses (127.0.0.2-5). The shipped camera settings file is
# copied beside the test programs, where the configuration push looks for it.
configure_file(${CMAKE_SOURCE_DIR}/src/Cameras/cameraSettings.json ${CMAKE_CURRENT_BINARY_DIR}/cameraSettings.json
               COPYONLY)
zuka_add_test(NAME tst_camerareading LABEL cameras SOURCES tst_camerareading.cpp LIBS zuka_cameras)
zuka_add_test(NAME tst_cameramanager LABEL cameras TIMEOUT 240 SOURCES tst_cameramanager.cpp LIBS zuka)
