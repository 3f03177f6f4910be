# cmake -DSOURCE_DIR=<project> -P cmake/check_layers.cmake
# Fails when a file includes a header of a higher layer, or when a file of the layered
# folders belongs to no layer or to two.
include(${CMAKE_CURRENT_LIST_DIR}/layers.cmake)

set(index 0)
foreach(layer ${QUVO_LAYERS})
    quvo_layer_files(${layer} ${SOURCE_DIR} files)
    foreach(f ${files})
        if(DEFINED owner_${f})
            list(APPEND problems "${f} is in two layers: ${owner_${f}} and ${layer}")
        endif()
        set(owner_${f} ${layer})
        set(rank_${f} ${index})
    endforeach()
    list(APPEND all_files ${files})
    math(EXPR index "${index} + 1")
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
        if(rank_${header} GREATER rank_${f})
            list(APPEND problems
                 "${f} (${owner_${f}}) includes ${header} of the higher layer ${owner_${header}}")
        endif()
    endforeach()
endforeach()

if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "Layer order ${QUVO_LAYERS} broken:\n  ${text}")
endif()
