#include "exchange/exchange_dispatcher.h"

#include "exchange/linux/epoll_dispatcher.h"

// The toolkit's dispatchers hand every socket to poll(2) at each wake-up, which a thread with
// a thousand idle listening servers pays for on every event; ours keeps them in one epoll set.
std::unique_ptr<QAbstractEventDispatcher> new_exchange_dispatcher()
{
    if (qgetenv("QUVO_EVENT_DISPATCHER") == "qt")
        return nullptr;
    auto dispatcher = std::make_unique<Epoll_dispatcher>();
    if (!dispatcher->valid())
        return nullptr;
    return dispatcher;
}
