# morv_library(NAME SOURCES... [DEPS libs...]): one static library per layer,
# made from the folder of the CMakeLists.txt that calls it.
#
# Sources name headers by folder ("transform/Bwt.h"). A layer's headers are
# reachable only from the layer itself and from the targets that link it: each
# layer's include path is a folder of its own in the build tree holding one
# link, named like the source folder, to that folder. So a lower layer that
# includes a higher one's header does not build.
function(morv_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  # The same objects go into the shared C library (lib/), so they are built
  # position independent; calls between them are not made interposable.
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT WIN32)
    target_compile_options(${name} PRIVATE -fno-semantic-interposition)
  endif()
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(layer_include ${PROJECT_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${layer_include})
  file(REMOVE ${layer_include}/${folder})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${layer_include}/${folder} RESULT link_result SYMBOLIC)
  if(EXISTS ${layer_include}/${folder}/CMakeLists.txt)
    target_include_directories(${name} PUBLIC ${layer_include})
  else()
    # No symbolic links here (some Windows set-ups): the whole source tree,
    # where the layer rule is not checked by the build.
    message(STATUS "${name}: no link in ${layer_include} (${link_result}); layer includes are not checked")
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  endif()
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()
