# Layers: a library may include the headers of the layers below it and never those above or beside it. Each
# library's sources and headers are scanned before it is built (and again whenever one of them changes), so an
# include that crosses a layer fails the build with the file and the line.
#
#   sx_layer(sxoffline "host/offline" FORBID "host/ntdll/" "tools/")
function(sx_layer target folder)
  cmake_parse_arguments(LAYER "" "" "FORBID" ${ARGN})
  file(GLOB_RECURSE files CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*.h)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.layer)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} "-DFILES=${files}" "-DFORBID=${LAYER_FORBID}" -DLAYER=${folder} -DSTAMP=${stamp}
            -P ${CMAKE_SOURCE_DIR}/cmake/CheckLayer.cmake
    DEPENDS ${files} ${CMAKE_SOURCE_DIR}/cmake/CheckLayer.cmake
    COMMENT "Checking the includes of ${folder}"
    VERBATIM)
  add_custom_target(${target}_layer DEPENDS ${stamp})
  add_dependencies(${target} ${target}_layer)
endfunction()
