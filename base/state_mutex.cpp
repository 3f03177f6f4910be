#include "base/state_mutex.h"

QMutex state_mutex;
