#include "parser/load_file.h"

#include "base/err.h"

#include <QCoreApplication>
#include <QFile>

#include <cstring>

namespace {

QString tr_file(const char *source)
{
    return QCoreApplication::translate("file", source);
}

} // namespace

// Arguments are filled in with one arg() call, so a file name holding "%2" stays as it is.
bool load_file(const QString &file_name, QByteArray &content)
{
    content.clear();
    QFile file(file_name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (file.error() == QFileDevice::OpenError && !file.exists())
            return false;
        throw Err(tr_file("Ошибка при попытке открыть файл «%1»: error=%2, errorString=«%3».")
                      .arg(file_name, QString::number(file.error()), file.errorString()));
    }
    if (file.isSequential())
        throw Err(tr_file("Файл «%1» не является обычным (random-access) файлом - не умею работать с такими файлами.")
                      .arg(file_name));
    const qint64 size = file.size();
    if (size < 0) {
        throw Err(tr_file("Ошибка при попытке определить размер файла «%1»: error=%2, errorString=«%3».")
                      .arg(file_name, QString::number(file.error()), file.errorString()));
    }
    if (size == 0)
        return true;
    if (size > MAX_FILE_SIZE)
        throw Err(tr_file("Файл «%1» слишком большой (должен быть не длиннее %2 байтов).")
                      .arg(file_name, QString::number(MAX_FILE_SIZE)));
    content.resize(static_cast<int>(size));
    const qint64 got = file.read(content.data(), size);
    if (got != size) {
        content.clear();
        throw Err(tr_file("Ошибка при чтении содержимого файла «%1»: файл имеет размер %2 байтов, но прочиталось %3 байтов, error=%4, errorString=«%5».")
                      .arg(file_name, QString::number(size), QString::number(got),
                           QString::number(file.error()), file.errorString()));
    }
    if (!file.atEnd()) {
        content.clear();
        throw Err(tr_file("Не удалось прочитать до конца содержимое файла «%1».").arg(file_name));
    }
    return true;
}

bool load_text_file(const QString &file_name, QByteArray &content)
{
    if (!load_file(file_name, content))
        return false;
    if (std::memchr(content.constData(), 0, static_cast<size_t>(content.size()))) {
        content.clear();
        throw Err(tr_file("Файл «%1» не может быть текстовым: он содержит нулевые байты.").arg(file_name));
    }
    return true;
}

void load_text_file_or_fail(const QString &file_name, QByteArray &content)
{
    if (!load_text_file(file_name, content))
        throw Err(tr_file("Не найден файл «%1».").arg(file_name));
}
