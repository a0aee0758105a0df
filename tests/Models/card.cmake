zuka_add_test(NAME tst_cardmodels LABEL card SOURCES tst_cardmodels.cpp LIBS zuka_models)
zuka_add_test(NAME tst_testrecord LABEL card SOURCES tst_testrecord.cpp LIBS zuka_models)
