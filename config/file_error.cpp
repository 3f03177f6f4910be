#include "config/file_error.h"

#include "config/file_error_cause.h"

#include <QCoreApplication>

namespace {

QString tr_file(const char *source)
{
    return QCoreApplication::translate("file", source);
}

// A text with letters beyond ASCII was given in the user's language, not in the
// toolkit's English.
bool is_localised(const QString &text)
{
    for (const QChar c : text)
        if (c.unicode() > 0x7F)
            return true;
    return false;
}

QString kind_text(QFileDevice::FileError error)
{
    switch (error) {
    case QFileDevice::ResourceError:
        return tr_file("не хватило места на диске или других ресурсов системы");
    case QFileDevice::PermissionsError:
        return tr_file("нет прав доступа к файлу");
    case QFileDevice::OpenError:
        return tr_file("не удалось открыть файл");
    case QFileDevice::WriteError:
        return tr_file("ошибка записи в файл");
    case QFileDevice::RenameError:
        return tr_file("не удалось заменить прежний файл новым");
    default:
        return tr_file("причина неизвестна");
    }
}

}

QString file_error_text(const QFileDevice &file)
{
    return file_error_text(file.errorString(), file.error());
}

QString file_error_text(const QString &toolkit_text, QFileDevice::FileError error)
{
    const QString known = known_file_error_cause(toolkit_text);
    if (!known.isNull())
        return known;
    if (is_localised(toolkit_text))
        return toolkit_text;
    return kind_text(error);
}
