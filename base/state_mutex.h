#pragma once

#include <QMutex>

// Guards what the main thread and the exchange thread share: the served devices and
// the state of shared/shared_state.h. Held only for short copy-or-update sections and
// never while emitting; log_mutex is always the inner lock.
extern QMutex state_mutex;
