#pragma once

#include "parser/utf8_text_parser.h"

#include <QByteArray>
#include <QString>

// A whole UTF-8 text file in memory, parsed in place; errors name the file, line and column.
// `cur` points into the owned content, so a parser is never copied or moved.
class Utf8_file_parser : public Utf8_text_parser {
public:
    // Loads and checks the file; throws Err when it is missing or cannot be text.
    explicit Utf8_file_parser(const QString &file_name);

    Err make_error(const QString &message) override;

    const QString &file_name() const { return name; }

private:
    QString name;
    QByteArray content;
};
