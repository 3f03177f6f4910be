#include "app/stop_signals.h"

#include "base/err.h"
#include "base/log.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int watched[] = {SIGTERM, SIGINT, SIGHUP};

// Written by the handler, read by the main thread; -1 while no object watches.
volatile std::sig_atomic_t write_end = -1;
int read_end = -1;
// The watching object's, while there is one.
QSocketNotifier *notifier = nullptr;
int received = 0;

// Only what is safe in a signal handler: write() and errno.
extern "C" void on_signal(int number)
{
    const int saved_errno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    if (write_end >= 0) {
        // A full pipe already holds enough requests; the byte may be lost.
        [[maybe_unused]] const ssize_t written = ::write(write_end, &byte, 1);
    }
    errno = saved_errno;
}

const char *signal_name(int number)
{
    switch (number) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    }
    return "?";
}

Err setup_error(const char *what)
{
    return Err(QCoreApplication::translate("log", "Не удалось подготовить обработку сигналов (%1): %2.")
                   .arg(QString::fromLatin1(what), QString::fromLocal8Bit(std::strerror(errno))));
}

// What the signals did before, given back when the watching ends.
struct sigaction previous[std::size(watched)];

bool set_handler()
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls go on: the toolkit does not expect them to fail with EINTR.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(watched); ++i) {
        if (::sigaction(watched[i], &action, &previous[i]) != 0) {
            while (i-- > 0)
                ::sigaction(watched[i], &previous[i], nullptr);
            return false;
        }
    }
    return true;
}

void close_pipe()
{
    const int end = write_end;
    write_end = -1;
    for (int fd : {end, read_end}) {
        if (fd >= 0)
            ::close(fd);
    }
    read_end = -1;
}

// Every request in the pipe: the first asks for the orderly exit, every later one for the
// immediate exit.
void read_requests(Stop_signals &watcher)
{
    unsigned char bytes[16];
    ssize_t count;
    while ((count = ::read(read_end, bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            const QString name = QString::fromLatin1(signal_name(bytes[i]));
            if (++received > 1) {
                log_line(QCoreApplication::translate("log", "Повторный сигнал %1: программа завершается немедленно.").arg(name));
                emit watcher.immediate_exit();
                continue;
            }
            log_line(QCoreApplication::translate("log", "Сигнал %1: программа закрывает соединения и завершается.").arg(name));
            // The orderly exit runs a modal dialog: it must not run inside this slot, so
            // that the notifier goes on reporting a second signal meanwhile.
            QMetaObject::invokeMethod(&watcher, &Stop_signals::orderly_exit, Qt::QueuedConnection);
        }
    }
}

}

Stop_signals::Stop_signals(QObject *parent)
    : QObject(parent)
{
    if (read_end >= 0)
        throw Debug(place_code(1, 4));
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw setup_error("pipe");
    read_end = ends[0];
    write_end = ends[1];
    if (!set_handler()) {
        const Err error = setup_error("sigaction");
        close_pipe();
        throw error;
    }
    received = 0;
    notifier = new QSocketNotifier(read_end, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { read_requests(*this); });
}

Stop_signals::~Stop_signals()
{
    notifier->setEnabled(false);
    notifier = nullptr;
    // The old actions first, so that no handler writes to a closed pipe.
    for (std::size_t i = 0; i < std::size(watched); ++i)
        ::sigaction(watched[i], &previous[i], nullptr);
    close_pipe();
}
