#include "config/file_error_cause.h"

#include <QCoreApplication>
#include <QtGlobal>

#include <cerrno>

namespace {

struct Known_cause {
    int code;
    const char *text;
};

const Known_cause known_causes[] = {
    {EACCES, QT_TRANSLATE_NOOP("file", "нет прав на запись в этот файл или в его папку")},
    {EPERM, QT_TRANSLATE_NOOP("file", "операция запрещена системой (нет прав на изменение файла)")},
    {EROFS, QT_TRANSLATE_NOOP("file", "файловая система доступна только для чтения")},
    {ENOSPC, QT_TRANSLATE_NOOP("file", "на диске не осталось свободного места")},
#ifdef EDQUOT
    {EDQUOT, QT_TRANSLATE_NOOP("file", "исчерпана дисковая квота")},
#endif
    {EFBIG, QT_TRANSLATE_NOOP("file", "файл превысил допустимый размер")},
    {ENOENT, QT_TRANSLATE_NOOP("file", "нет такого файла или папки")},
    {ENOTDIR, QT_TRANSLATE_NOOP("file", "часть пути к файлу не является папкой")},
    {EISDIR, QT_TRANSLATE_NOOP("file", "на месте файла находится папка")},
    {ENAMETOOLONG, QT_TRANSLATE_NOOP("file", "слишком длинное имя файла")},
    {EMFILE, QT_TRANSLATE_NOOP("file", "открыто слишком много файлов")},
    {EBUSY, QT_TRANSLATE_NOOP("file", "файл или устройство заняты")},
    {EIO, QT_TRANSLATE_NOOP("file", "ошибка ввода-вывода")},
};

}

QString known_file_error_cause(const QString &toolkit_text)
{
    for (const Known_cause &cause : known_causes)
        if (toolkit_text == qt_error_string(cause.code))
            return QCoreApplication::translate("file", cause.text);
    return QString();
}
