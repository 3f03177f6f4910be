#include "app/state_mutex.h"

QMutex state_mutex;
