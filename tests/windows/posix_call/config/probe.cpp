#include <csignal>

// Compiles on Linux; Windows has no SIGHUP.
int probe_signal()
{
    return SIGHUP;
}
