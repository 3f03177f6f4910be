# cmake [-DSOURCE_DIR=<project>] -P cmake/check_layers.cmake
# Fails when the layers' links run in a circle, or when a file includes a header of a layer
# that its own layer does not reach through them. A file's layer is its top folder, and the
# layers with their links are read from those folders' CMakeLists.txt.
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/layers.cmake)
quvo_source_dir()

quvo_read_layers(${SOURCE_DIR})
set(all_files)
foreach(layer ${QUVO_LAYERS_FOUND})
    quvo_layer_reach(${layer} reach_${layer})
    quvo_layer_files(${layer} ${SOURCE_DIR} files)
    list(APPEND all_files ${files})
endforeach()

set(problems)
foreach(f ${all_files})
    string(REGEX REPLACE "/.*" "" from "${f}")
    file(STRINGS ${SOURCE_DIR}/${f} includes REGEX "^#include \"")
    foreach(line ${includes})
        string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
        string(REGEX REPLACE "/.*" "" to "${header}")
        if(NOT to IN_LIST QUVO_LAYERS_FOUND OR to STREQUAL from OR to IN_LIST reach_${from})
            continue()
        endif()
        list(APPEND problems "${f} (${from}) includes ${header} of the layer ${to}, which ${from} does not link")
    endforeach()
endforeach()

if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "Layers broken:\n  ${text}")
endif()
