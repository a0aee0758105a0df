# One static library per source folder, so that each area builds and is tested on its own.
# Each area lists its own files in its folder's CMakeLists.txt. The folder is a private
# include path of its library only: from anywhere else its headers are named
# "Area/Class.h" below src/, which is the one public include path. An area with headers
# only becomes an interface library.
function(zuka_area name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  set(_cpp ${A_SOURCES})
  list(FILTER _cpp INCLUDE REGEX "\\.(c|cpp)$")
  if(_cpp)
    add_library(${name} STATIC ${A_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  else()
    add_library(${name} INTERFACE ${A_SOURCES})
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${A_DEPS})
  endif()
endfunction()
