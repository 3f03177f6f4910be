# cmake -DSOURCE_DIR=<project> -P cmake/check_layers.cmake [-DLAYERS_FILE=<other description>]
# Fails when the layers' links run in a circle, when a file includes a header of a layer
# that its own layer does not reach through them, or when a file of the layered folders
# belongs to no layer or to two.
cmake_minimum_required(VERSION 3.16)
if(NOT LAYERS_FILE)
    set(LAYERS_FILE ${CMAKE_CURRENT_LIST_DIR}/layers.cmake)
endif()
include(${LAYERS_FILE})
# Relative to the current folder, as typed; the globs need it whole.
if(NOT SOURCE_DIR)
    set(SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)
endif()
get_filename_component(SOURCE_DIR ${SOURCE_DIR} ABSOLUTE)

foreach(layer ${QUVO_LAYERS})
    quvo_layer_reach(${layer} reach_${layer})
    quvo_layer_files(${layer} ${SOURCE_DIR} files)
    foreach(f ${files})
        if(DEFINED owner_${f})
            list(APPEND problems "${f} is in two layers: ${owner_${f}} and ${layer}")
        endif()
        set(owner_${f} ${layer})
    endforeach()
    list(APPEND all_files ${files})
endforeach()

file(GLOB_RECURSE layered RELATIVE ${SOURCE_DIR}
     ${SOURCE_DIR}/app/* ${SOURCE_DIR}/config/* ${SOURCE_DIR}/link/* ${SOURCE_DIR}/parser/*
     ${SOURCE_DIR}/tcp/* ${SOURCE_DIR}/ui/*)
foreach(f ${layered})
    if(f MATCHES "\\.(h|cpp)$" AND NOT f STREQUAL "app/main.cpp" AND NOT DEFINED owner_${f})
        list(APPEND problems "${f} belongs to no layer")
    endif()
endforeach()

foreach(f ${all_files})
    file(STRINGS ${SOURCE_DIR}/${f} includes REGEX "^#include \"")
    foreach(line ${includes})
        string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
        if(NOT DEFINED owner_${header})
            continue()
        endif()
        set(from ${owner_${f}})
        set(to ${owner_${header}})
        if(NOT to STREQUAL from AND NOT to IN_LIST reach_${from})
            list(APPEND problems "${f} (${from}) includes ${header} of the layer ${to}, which ${from} does not link")
        endif()
    endforeach()
endforeach()

if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "Layers broken:\n  ${text}")
endif()
