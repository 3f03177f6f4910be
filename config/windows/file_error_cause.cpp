#include "config/file_error_cause.h"

#include <QCoreApplication>
#include <QtGlobal>

#include <windows.h>

namespace {

struct Known_cause {
    DWORD code;
    const char *text;
};

// The toolkit's text here is Windows' own, in the language of Windows: an English Windows
// still gets a Russian cause.
const Known_cause known_causes[] = {
    {ERROR_ACCESS_DENIED, QT_TRANSLATE_NOOP("file", "нет прав на запись в этот файл или в его папку")},
    {ERROR_WRITE_PROTECT, QT_TRANSLATE_NOOP("file", "диск защищён от записи")},
    {ERROR_DISK_FULL, QT_TRANSLATE_NOOP("file", "на диске не осталось свободного места")},
    {ERROR_HANDLE_DISK_FULL, QT_TRANSLATE_NOOP("file", "на диске не осталось свободного места")},
    {ERROR_FILE_NOT_FOUND, QT_TRANSLATE_NOOP("file", "нет такого файла или папки")},
    {ERROR_PATH_NOT_FOUND, QT_TRANSLATE_NOOP("file", "нет такого файла или папки")},
    {ERROR_DIRECTORY, QT_TRANSLATE_NOOP("file", "часть пути к файлу не является папкой")},
    {ERROR_FILENAME_EXCED_RANGE, QT_TRANSLATE_NOOP("file", "слишком длинное имя файла")},
    {ERROR_TOO_MANY_OPEN_FILES, QT_TRANSLATE_NOOP("file", "открыто слишком много файлов")},
    {ERROR_SHARING_VIOLATION, QT_TRANSLATE_NOOP("file", "файл занят другой программой")},
    {ERROR_LOCK_VIOLATION, QT_TRANSLATE_NOOP("file", "файл занят другой программой")},
};

}

QString known_file_error_cause(const QString &toolkit_text)
{
    for (const Known_cause &cause : known_causes)
        if (toolkit_text == qt_error_string(int(cause.code)))
            return QCoreApplication::translate("file", cause.text);
    return QString();
}
