# The Qt and standard headers that nearly every file includes, compiled once per build and
# reused by every library and test (GCC; off for the fuzz build's clang, which would want
# the same macros on every command line).
option(ZUKA_PCH "Precompile the common headers once for all targets" ON)
if(ZUKA_PCH AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_library(zuka_pch STATIC ${CMAKE_CURRENT_LIST_DIR}/pch.cpp)
  target_link_libraries(zuka_pch PUBLIC Qt5::Core)
  target_precompile_headers(zuka_pch PRIVATE
    <QByteArray> <QCoreApplication> <QDateTime> <QDebug> <QDir> <QFile> <QHash> <QJsonArray>
    <QJsonDocument> <QJsonObject> <QJsonValue> <QList> <QMap> <QMetaType> <QObject> <QPointer>
    <QRegularExpression> <QSharedPointer> <QString> <QStringList> <QTimer> <QVariant>
    <functional> <memory>)
endif()
# Lets a target's files start from the precompiled headers.
function(zuka_use_pch target)
  if(TARGET zuka_pch)
    target_precompile_headers(${target} REUSE_FROM zuka_pch)
  endif()
endfunction()

# One static library per source folder, so that each area builds and is tested on its own.
# Each area lists its own files in its folder's CMakeLists.txt, and the areas it uses. Its
# headers are named "Area/Class.h"; an area sees only its own headers and those of the
# areas it depends on, so an include that runs the wrong way fails to build. (Each area's
# public include path is a folder of the build holding one link, "Area", to its sources.)
# The folder itself is a private include path of its library only. An area with headers
# only becomes an interface library.
function(zuka_area name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  get_filename_component(_area ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(_headers ${PROJECT_BINARY_DIR}/areas/${_area})
  file(MAKE_DIRECTORY ${_headers})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${_headers}/${_area} SYMBOLIC)
  set(_cpp ${A_SOURCES})
  list(FILTER _cpp INCLUDE REGEX "\\.(c|cpp)$")
  if(_cpp)
    add_library(${name} STATIC ${A_SOURCES})
    target_include_directories(${name} PUBLIC ${_headers} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${A_DEPS})
    zuka_use_pch(${name})
  else()
    add_library(${name} INTERFACE ${A_SOURCES})
    target_include_directories(${name} INTERFACE ${_headers})
    target_link_libraries(${name} INTERFACE ${A_DEPS})
  endif()
endfunction()
