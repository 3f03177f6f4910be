# The program's layers, one folder each. A folder's CMakeLists.txt declares its layer with
# quvo_layer(<name> [LINKS <layers>...] [QT <targets>...]): a static library of every source
# in the folder and below, which links the layers named and nothing else. A file may include
# only headers of its own layer or of a layer reachable through those links
# (cmake/check_layers.cmake), and the links may form no cycle, so that none can come back
# unnoticed. The folders, lowest first:
set(QUVO_LAYERS base parser config shared link tcp exchange ui app)

# Platform files live in subfolders named for where they are built, each beside the portable
# interface it implements; the build chooses one of each pair in QUVO_PLATFORM_PARTS: linux
# (the Linux-only parts) or portable (the toolkit's own services in their place), and windows
# or unix. Without that choice (the layer check) every variant counts.
set(QUVO_PLATFORM_FOLDERS linux portable windows unix)

# For the checks run as scripts: SOURCE_DIR whole (a relative one is as typed, from the current
# folder; the globs need it whole), the project's when none is given.
macro(quvo_source_dir)
    if(NOT SOURCE_DIR)
        set(SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)
    endif()
    get_filename_component(SOURCE_DIR ${SOURCE_DIR} ABSOLUTE)
endmacro()

# The sources of a layer, relative to source_dir.
function(quvo_layer_files layer source_dir out)
    set(depends)
    if(NOT CMAKE_SCRIPT_MODE_FILE)
        set(depends CONFIGURE_DEPENDS)
    endif()
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${source_dir} ${depends}
         ${source_dir}/${layer}/*.h ${source_dir}/${layer}/*.cpp)
    # The program's entry is no library code.
    list(FILTER files EXCLUDE REGEX "^app/main\\.cpp$")
    if(DEFINED QUVO_PLATFORM_PARTS)
        foreach(folder ${QUVO_PLATFORM_FOLDERS})
            if(NOT folder IN_LIST QUVO_PLATFORM_PARTS)
                list(FILTER files EXCLUDE REGEX "^${layer}/(.*/)?${folder}/")
            endif()
        endforeach()
    endif()
    list(SORT files)
    set(${out} ${files} PARENT_SCOPE)
endfunction()

# The layer of this folder: its library, with the layers and toolkit modules it links.
function(quvo_layer name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LINKS;QT")
    quvo_layer_files(${name} ${PROJECT_SOURCE_DIR} files)
    list(TRANSFORM files PREPEND ${PROJECT_SOURCE_DIR}/)
    add_library(quvo_${name} STATIC ${files} ${arg_UNPARSED_ARGUMENTS})
    target_include_directories(quvo_${name} PUBLIC ${PROJECT_SOURCE_DIR})
    set(links ${arg_LINKS})
    list(TRANSFORM links PREPEND quvo_)
    target_link_libraries(quvo_${name} PUBLIC ${links} ${arg_QT})
    add_dependencies(quvo_${name} check_layers)
endfunction()

# Reads the layers' links from the folders' CMakeLists.txt under source_dir into
# QUVO_LINKS_<layer>, and the layers found into QUVO_LAYERS_FOUND.
function(quvo_read_layers source_dir)
    file(GLOB lists ${source_dir}/*/CMakeLists.txt)
    set(found)
    foreach(list_file ${lists})
        file(STRINGS ${list_file} declarations REGEX "^quvo_layer\\(")
        foreach(declaration ${declarations})
            string(REGEX REPLACE "^quvo_layer\\(([a-z_]+).*" "\\1" name "${declaration}")
            set(links)
            if(declaration MATCHES " LINKS ([a-z_ ]+)")
                string(REGEX REPLACE " (QT|$).*" "" text "${CMAKE_MATCH_1}")
                string(REPLACE " " ";" links "${text}")
            endif()
            list(APPEND found ${name})
            set(QUVO_LINKS_${name} ${links} PARENT_SCOPE)
        endforeach()
    endforeach()
    set(QUVO_LAYERS_FOUND ${found} PARENT_SCOPE)
endfunction()

# Every layer that `layer` reaches through its links, itself left out. Stops with an error
# naming the way round when the links run in a circle.
function(quvo_layer_reach layer out)
    set(reached)
    set(path ${layer})
    _quvo_layer_walk(${layer})
    set(${out} ${reached} PARENT_SCOPE)
endfunction()

macro(_quvo_layer_walk from)
    foreach(to ${QUVO_LINKS_${from}})
        if(NOT to IN_LIST QUVO_LAYERS_FOUND)
            message(FATAL_ERROR "The layer ${from} links ${to}, which is no layer")
        endif()
        if(to IN_LIST path)
            list(JOIN path " -> " way)
            message(FATAL_ERROR "The layers' links run in a circle: ${way} -> ${to}")
        endif()
        if(NOT to IN_LIST reached)
            list(APPEND reached ${to})
            list(APPEND path ${to})
            _quvo_layer_walk(${to})
            list(POP_BACK path)
        endif()
    endforeach()
endmacro()
