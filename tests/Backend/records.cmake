# The transaction record and the local database on real SQLite files.
zuka_add_test(NAME tst_transaction LABEL backoffice SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_transaction.cpp
              LIBS zuka_backend)
zuka_add_test(NAME tst_database LABEL backoffice SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_database.cpp
              LIBS zuka_backend)
# Writes queued transactions until it is killed (the durability case of tst_database).
add_executable(db_writer ${CMAKE_CURRENT_LIST_DIR}/db_writer.cpp)
target_link_libraries(db_writer PRIVATE zuka_backend)
add_dependencies(tst_database db_writer)
target_compile_definitions(tst_database PRIVATE DB_WRITER="$<TARGET_FILE:db_writer>")
# The service bus and weighbridge clients against the back-office peer.
zuka_add_test(NAME tst_serverclients LABEL backoffice SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_serverclients.cpp
              LIBS zuka_backend)
# The card back-office client against the card back office of the back-office peer.
zuka_add_test(NAME tst_cardbo LABEL backoffice COST 30 SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_cardbo.cpp
              LIBS zuka_backend Qt5::Sql)
