#include "exchange/exchange_dispatcher.h"

std::unique_ptr<QAbstractEventDispatcher> new_exchange_dispatcher()
{
    return nullptr;
}
