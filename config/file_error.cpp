#include "config/file_error.h"

#include <QCoreApplication>
#include <QtGlobal>

#include <cerrno>

namespace {

QString tr_file(const char *source)
{
    return QCoreApplication::translate("file", source);
}

#ifndef Q_OS_WIN
// The toolkit names a failed system call only by its text, which is the system's
// text for the error number; matching it against those texts finds the number.
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
#endif

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
#ifndef Q_OS_WIN
    for (const Known_cause &cause : known_causes)
        if (toolkit_text == qt_error_string(cause.code))
            return tr_file(cause.text);
#endif
    if (is_localised(toolkit_text))
        return toolkit_text;
    return kind_text(error);
}
