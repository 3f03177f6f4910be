# The program's layers, lowest first. Each layer is a static library that links the one
# below it and nothing above, and a file may include only headers of its own layer or of
# a lower one (cmake/check_layers.cmake), so that no cycle can come back unnoticed.
set(QUVO_LAYERS base config exchange ui app)

# Errors, the log, the command line, the text parsers and the lock of the state shared
# between threads.
set(QUVO_LAYER_base
    app/err.* app/log.* app/build_info.h app/version.* app/command_line.* app/state_mutex.*
    parser/*)
# The settings and the served devices, read from their files.
set(QUVO_LAYER_config config/*)
# The exchange thread: the server link, the modems' TCP servers and the state shared
# with the main thread.
set(QUVO_LAYER_exchange link/* tcp/* app/shared_state.* app/engine.*)
# Windows, dialogs and message boxes.
set(QUVO_LAYER_ui ui/* app/error_box.* app/fonts.* app/dialog_exit.*)
# Start-up and the stop signals.
set(QUVO_LAYER_app app/program.* app/stop_signals.*)

# The files of a layer, relative to source_dir.
function(quvo_layer_files layer source_dir out)
    set(files)
    set(depends)
    if(NOT CMAKE_SCRIPT_MODE_FILE)
        set(depends CONFIGURE_DEPENDS)
    endif()
    foreach(pattern ${QUVO_LAYER_${layer}})
        file(GLOB found RELATIVE ${source_dir} ${depends} ${source_dir}/${pattern})
        list(APPEND files ${found})
    endforeach()
    list(FILTER files EXCLUDE REGEX "^app/main\\.cpp$")
    list(SORT files)
    set(${out} ${files} PARENT_SCOPE)
endfunction()
