#include "parser/utf8_file_parser.h"

#include "parser/load_file.h"

#include <QCoreApplication>

Utf8_file_parser::Utf8_file_parser(const QString &file_name)
    : name(file_name)
{
    load_text_file_or_fail(name, content);
    begin_text(content.constData());
}

Err Utf8_file_parser::make_error(const QString &message)
{
    return Err(QCoreApplication::translate("parser", "Ошибка в %1-м символе %2-й строки файла «%3»: %4")
                   .arg(column())
                   .arg(line)
                   .arg(name, message));
}
