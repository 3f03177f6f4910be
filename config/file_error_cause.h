#pragma once

#include <QString>

// Our own Russian text for a common cause of a failed file operation, found from the toolkit's
// text for it, which is the system's text for the system's error code; null for any other.
// The codes are the platform's own.
QString known_file_error_cause(const QString &toolkit_text);
