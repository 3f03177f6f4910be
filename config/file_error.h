#pragma once

#include <QFileDevice>
#include <QString>

// Why a file could not be written, for a Russian message: our own text for the common
// causes, the system's text where the system gave it in the user's language, else
// the kind of failure. The toolkit's text itself is for the log only: it may be English.
QString file_error_text(const QFileDevice &file);

// The same from the toolkit's text and its kind of failure.
QString file_error_text(const QString &toolkit_text, QFileDevice::FileError error);
