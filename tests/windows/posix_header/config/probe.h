#pragma once

// MinGW-w64 has this header, Windows' own compiler does not: the check must refuse it.
#include <unistd.h>
