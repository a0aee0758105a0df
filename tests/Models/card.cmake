zuka_add_test(NAME tst_cardmodels LABEL card SOURCES tst_cardmodels.cpp LIBS zuka_models)
