# The program's layers. Each layer is a static library that links the layers it names in
# QUVO_LINKS_<layer> and nothing else; a file may include only headers of its own layer or
# of a layer reachable through those links (cmake/check_layers.cmake), and the links may form
# no cycle, so that none can come back unnoticed. The link and the TCP servers are siblings:
# neither knows the other, the exchange layer joins them.
set(QUVO_LAYERS base config shared link tcp exchange ui app)

# Platform files live in folders named for where they are built, each beside the portable
# interface it implements; the build chooses one of each pair in QUVO_PLATFORM_PARTS:
# linux (the Linux-only parts) or portable (the toolkit's own services in their place), and
# windows or unix. Without that choice (the layer check) every variant counts.
set(QUVO_PLATFORM_FOLDERS linux portable windows unix)

# Errors, the log (with the descriptor it keeps in reserve), the command line, the text
# parsers and the lock of the state shared between threads.
set(QUVO_LAYER_base
    app/err.* app/log.* app/build_info.h app/version.* app/command_line.* app/state_mutex.*
    app/descriptors.h app/linux/descriptors.cpp app/portable/descriptors.cpp parser/*)
set(QUVO_LINKS_base)
# The settings and the served devices, read from their files.
set(QUVO_LAYER_config config/* config/unix/* config/windows/*)
set(QUVO_LINKS_config base)
# What the link, the TCP servers and the window share: the state under state_mutex, a modem
# as the network server lists it, and a client message on its way to the link.
set(QUVO_LAYER_shared app/shared_state.* app/server_device.h app/downlink.h)
set(QUVO_LINKS_shared config)
# The one link to the network server: its state machine, the protocol and the send queue.
set(QUVO_LAYER_link link/*)
set(QUVO_LINKS_link shared)
# The modems' TCP servers, their clients and the uplink packet groups.
set(QUVO_LAYER_tcp tcp/*)
set(QUVO_LINKS_tcp shared)
# The exchange thread: Engine, its event dispatcher, and Modem_servers, which joins the
# link and the TCP servers.
set(QUVO_LAYER_exchange app/engine.* app/modem_servers.* app/descriptor_shortage.* app/exchange_dispatcher.h app/linux/dispatcher_timers.*
    app/linux/epoll_dispatcher.* app/linux/exchange_dispatcher.cpp app/portable/exchange_dispatcher.cpp)
set(QUVO_LINKS_exchange link tcp)
# Windows, dialogs and message boxes.
set(QUVO_LAYER_ui ui/* app/error_box.* app/fonts.* app/dialog_exit.*)
set(QUVO_LINKS_ui exchange)
# Start-up, the command line as typed, the requests to stop from outside the window, and what
# a service manager hears.
set(QUVO_LAYER_app app/program.* app/program_arguments.h app/unix/program_arguments.cpp
    app/windows/program_arguments.cpp app/session_end.* app/stop_signals.h app/linux/stop_signals.cpp
    app/portable/stop_signals.cpp app/service_status.* app/service_notify.h app/linux/service_notify.cpp
    app/portable/service_notify.cpp)
set(QUVO_LINKS_app ui)

# The files of a layer, relative to source_dir.
function(quvo_layer_files layer source_dir out)
    set(files)
    set(depends)
    if(NOT CMAKE_SCRIPT_MODE_FILE)
        set(depends CONFIGURE_DEPENDS)
    endif()
    foreach(pattern ${QUVO_LAYER_${layer}})
        file(GLOB found LIST_DIRECTORIES false RELATIVE ${source_dir} ${depends} ${source_dir}/${pattern})
        list(APPEND files ${found})
    endforeach()
    list(FILTER files EXCLUDE REGEX "^app/main\\.cpp$")
    if(DEFINED QUVO_PLATFORM_PARTS)
        foreach(folder ${QUVO_PLATFORM_FOLDERS})
            if(NOT folder IN_LIST QUVO_PLATFORM_PARTS)
                list(FILTER files EXCLUDE REGEX "(^|/)${folder}/")
            endif()
        endforeach()
    endif()
    list(SORT files)
    set(${out} ${files} PARENT_SCOPE)
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
        if(NOT to IN_LIST QUVO_LAYERS)
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
