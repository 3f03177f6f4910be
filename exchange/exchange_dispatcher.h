#pragma once

#include <QAbstractEventDispatcher>

#include <memory>

// The event dispatcher that the exchange thread runs on, chosen by the build for the
// platform: null where the toolkit's own serves best, or where QUVO_EVENT_DISPATCHER=qt asks
// for it (to compare the two).
std::unique_ptr<QAbstractEventDispatcher> new_exchange_dispatcher();
