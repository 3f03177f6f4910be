#include "app/program.h"

#include "app/service_status.h"
#include "app/session_end.h"
#include "app/stop_signals.h"
#include "base/command_line.h"
#include "base/descriptors.h"
#include "base/log.h"
#include "base/version.h"
#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "shared/shared_state.h"
#include "ui/error_box.h"
#include "ui/fonts.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QMutexLocker>

#include <cstdio>
#include <cstdlib>
#include <exception>

// Outside any namespace, as the macro requires. The resources live in the core
// library, which the linker would otherwise leave out of the program.
static void init_resources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

void set_application_icon()
{
    init_resources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/morvane.ico")));
}

// A stop signal does what the exit button does, unless an exit is already under way.
void start_orderly_exit(Main_window &window)
{
    {
        QMutexLocker lock(&state_mutex);
        if (state_flags & shutdown_requested)
            return;
    }
    // Nobody may be there to answer a question: what is not saved is only logged.
    log_devices_lost();
    window.exit_in_order();
}

// As the exit dialog's button does: peers whose connections are still open find out on their own.
void exit_at_once()
{
    std::fflush(nullptr);
    std::_Exit(exit_ok);
}

constexpr unsigned window_module = 2;

// Shown from the main thread: the box must not be open while the exchange thread holds
// state_mutex.
void on_fatal_error(QWidget *window)
{
    show_error(QCoreApplication::translate("err", "Обнаружена ошибка в программе. Работа программы завершена."),
               window);
    QCoreApplication::exit(1);
}

// Everything after the command line was accepted, strictly in this order.
int start_and_run()
{
    raise_descriptor_limit();
    if (!log_line(startup_line()))
        return exit_log_not_writable;

    // An error in either file escapes to run_program, which shows it and ends with exit_failure.
    read_config(QString::fromUtf8(config_file_name()));
    read_devices();

    // Local objects in this order, so that the window goes first after the loop; the
    // window exists before the thread starts, so the link always finds it registered.
    // Lives longest, so that no stop signal takes its default action while the thread is
    // wound up after the loop.
    Stop_signals stop_signals;
    Engine engine;
    Main_window window(engine);
    wire_window(window, engine);
    Service_status service_status(window, engine);
    QObject::connect(&stop_signals, &Stop_signals::orderly_exit, &window,
                     [&window] { start_orderly_exit(window); });
    QObject::connect(&stop_signals, &Stop_signals::immediate_exit, &exit_at_once);
    stop_at_session_end(engine);
    window.show();
    engine.start();
    const int exit_code = QApplication::exec();
    // The loop can also end without the exit dialog (the window's close control, a fatal
    // stop of the link); the thread must end before the Engine goes, and the code stands.
    engine.wind_up(exit_code);
    return exit_code;
}

} // namespace

void wire_window(Main_window &window, Engine &engine)
{
    if (!QObject::connect(&engine, &Engine::servers_changed, &window, &Main_window::on_servers_changed))
        log_unexpected(place_code(window_module, 11));
    if (!QObject::connect(&engine, &Engine::clients_changed, &window, &Main_window::on_clients_changed))
        log_unexpected(place_code(window_module, 12));
    if (!QObject::connect(&window, &Main_window::shutdown, &engine, &Engine::on_shutdown))
        log_unexpected(place_code(window_module, 112));
    if (!QObject::connect(&engine, &Engine::fatal_error, &window, [&window] { on_fatal_error(&window); },
                          Qt::QueuedConnection))
        log_unexpected(place_code(1, 5));
}

void show_help()
{
    QMessageBox box;
    init_fonts(&box);
    box.setTextFormat(Qt::PlainText);
    box.setText(help_text());
    box.setWindowTitle(help_title());
    box.setIcon(QMessageBox::Information);
    add_close_button(box);
    exec_box(box, stdout);
}

int run_program(const QList<QByteArray> &arguments)
{
    try {
        set_application_icon();
        const Command_line command_line = read_command_line(arguments);
        switch (command_line.kind) {
        case Command_line::Kind::help:
            show_help();
            return exit_ok;
        case Command_line::Kind::error:
            show_error(command_line.message, nullptr);
            return exit_command_line_error;
        case Command_line::Kind::run:
            break;
        }
        set_config_file_name(command_line.config_file);
        set_log_file_name(command_line.log_file);
        return start_and_run();
    } catch (const std::exception &e) {
        report_exception(e, nullptr);
    } catch (...) {
        report_unexpected(place_code(1, 3), nullptr);
    }
    return exit_failure;
}
