#include "app/service_notify.h"

// The toolkit has no datagram sockets of the local kind, and Windows' service manager speaks
// another language altogether.
bool service_manager_listens()
{
    return false;
}

void notify_service_manager(const QByteArray &)
{
}

std::chrono::milliseconds service_watchdog_period()
{
    return std::chrono::milliseconds(0);
}
