#include "app/service_notify.h"

#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// The protocol is systemd's documented, stable interface: a datagram of lines to the Unix
// socket named by NOTIFY_SOCKET, an abstract one when the name starts with "@".

bool service_manager_listens()
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    return path.startsWith('/') || path.startsWith('@');
}

void notify_service_manager(const QByteArray &lines)
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    if (!service_manager_listens() || std::size_t(path.size()) >= sizeof address.sun_path)
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    if (path.startsWith('@'))
        address.sun_path[0] = '\0';
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + std::size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    // A manager that has gone away misses a state that will soon be out of date anyway.
    [[maybe_unused]] const ssize_t sent = ::sendto(fd, lines.constData(), std::size_t(lines.size()), MSG_NOSIGNAL,
                                                   reinterpret_cast<const sockaddr *>(&address), length);
    ::close(fd);
}

std::chrono::milliseconds service_watchdog_period()
{
    // The manager names the process it watches when that might be another one.
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != ::getpid())
        return std::chrono::milliseconds(0);
    bool ok = false;
    const qulonglong usec = qgetenv("WATCHDOG_USEC").toULongLong(&ok);
    if (!ok || usec == 0)
        return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(qMax<qulonglong>(usec / 1000, 1));
}
