# Start-up and the root object's shell: the real program as a process, and GUIManager.
if(TARGET zuka-terminal-ui)
  zuka_add_test(NAME tst_startup LABEL core TIMEOUT 180
                SOURCES tst_startup.cpp
                LIBS zuka)
  add_dependencies(tst_startup zuka-terminal-ui)
endif()
zuka_add_test(NAME tst_guimanager LABEL core SOURCES tst_guimanager.cpp LIBS zuka)
