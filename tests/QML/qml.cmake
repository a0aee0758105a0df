# The touch interface rendered screen by screen under its own Xvfb, in Greek and in English.
add_executable(zuka_screenshots screenshots.cpp)
target_link_libraries(zuka_screenshots PRIVATE zuka)
target_compile_definitions(zuka_screenshots PRIVATE TESTS_DIR="${CMAKE_SOURCE_DIR}/tests")

zuka_add_test(NAME tst_screens LABEL qml GUI TIMEOUT 240 SOURCES tst_screens.cpp)
target_compile_definitions(tst_screens PRIVATE
    SCREENSHOTS_EXE="$<TARGET_FILE:zuka_screenshots>"
    TRANSLATION_TS="${CMAKE_SOURCE_DIR}/qml/translations/zuka-terminal-ui_el_GR.ts")
target_link_libraries(tst_screens PRIVATE Qt5::Gui)
add_dependencies(tst_screens zuka_screenshots)
