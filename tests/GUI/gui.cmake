# The operator interface's logic: event log, maintenance login, screens, supervision.
zuka_add_test(NAME tst_eventlog LABEL gui SOURCES tst_eventlog.cpp LIBS zuka)
zuka_add_test(NAME tst_session LABEL gui SOURCES tst_session.cpp LIBS zuka)
zuka_add_test(NAME tst_guilogic LABEL gui COST 30 SOURCES tst_guilogic.cpp LIBS zuka)
# The diagnostics summary's QR code, rendered and read back.
zuka_add_test(NAME tst_qrcode LABEL gui SOURCES tst_qrcode.cpp LIBS zuka_gui)
# Diagnostics and card tests on the simulated lane.
zuka_add_test(NAME tst_diagnostics LABEL gui TIMEOUT 180
              SOURCES tst_diagnostics.cpp ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.cpp
                      ${PROJECT_SOURCE_DIR}/tests/Managers/LaneSimFixture.h LIBS zuka)
target_include_directories(tst_diagnostics PRIVATE ${PROJECT_SOURCE_DIR}/tests/Managers)
# The real program on a real broker.
if(TARGET zuka-terminal-ui)
  zuka_add_test(NAME tst_guiprogram LABEL gui TIMEOUT 180 COST 35 SOURCES tst_guiprogram.cpp LIBS zuka)
  add_dependencies(tst_guiprogram zuka-terminal-ui)
endif()
# Real input on a private X display (Xvfb and xdotool).
zuka_add_test(NAME tst_guiinput LABEL gui GUI TIMEOUT 120 SOURCES tst_guiinput.cpp LIBS zuka)
