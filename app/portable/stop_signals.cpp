#include "app/stop_signals.h"

// The toolkit has no stop signals of its own; the end of the user's session reaches the
// program through the application object (Session_end).
Stop_signals::Stop_signals(QObject *parent)
    : QObject(parent)
{
}

Stop_signals::~Stop_signals() = default;
