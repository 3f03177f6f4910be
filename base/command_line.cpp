#include "base/command_line.h"

#include "base/build_info.h"
#include "base/version.h"

#include <QCoreApplication>

namespace {

QByteArray current_config_file_name = default_config_file_name;

QString main_text(const char *text)
{
    return QCoreApplication::translate("main", text);
}

Command_line error(const QString &message)
{
    Command_line result;
    result.kind = Command_line::Kind::error;
    result.message = message;
    return result;
}

QString unknown_option(const QByteArray &argument)
{
    return main_text("Неизвестная опция командной строки: «%1». Для получения справки по опциям командной "
                     "строки запустите программу с опцией «-h».")
        .arg(QString::fromUtf8(argument));
}

// One file-name option: "--cfg=name" or "--log=name". Returns the error, if any.
QString read_file_option(const QByteArray &argument, bool &given, QByteArray &name, const char *format_error,
                         const char *duplicate_error)
{
    // The format is checked first: a repeated option in a bad format reports the format.
    if (argument.size() < 7 || argument.at(5) != '=')
        return main_text(format_error);
    if (given)
        return main_text(duplicate_error);
    given = true;
    name = argument.mid(6);
    return QString();
}

} // namespace

QByteArray config_file_name()
{
    return current_config_file_name;
}

void set_config_file_name(const QByteArray &name)
{
    current_config_file_name = name;
}

void reset_config_file_name()
{
    current_config_file_name = default_config_file_name;
}

bool is_help_word(const QByteArray &word)
{
    static const QByteArray words[] = {"h", "help", "H", "HELP", "Help", "?"};
    for (const QByteArray &w : words) {
        if (word == w)
            return true;
    }
    return false;
}

Command_line read_command_line(const QList<QByteArray> &arguments)
{
    Command_line result;
    bool cfg_given = false;
    bool log_given = false;
    for (const QByteArray &argument : arguments) {
        QByteArray word;
        if (argument.startsWith("--")) {
            const QByteArray name = argument.mid(2, 3);
            if (name == "cfg" || name == "log") {
                const QString message = name == "cfg"
                    ? read_file_option(argument, cfg_given, result.config_file,
                                       "Неправильный формат опции «--cfg». Ожидаемый формат: "
                                       "--cfg=\"имя файла конфигурации\".",
                                       "В командной строке дважды указана одна и та же опция: «--cfg».")
                    : read_file_option(argument, log_given, result.log_file,
                                       "Неправильный формат опции «--log». Ожидаемый формат: "
                                       "--log=\"имя файла журнала\".",
                                       "В командной строке дважды указана одна и та же опция: «--log».");
                if (!message.isEmpty())
                    return error(message);
                continue;
            }
            word = argument.mid(2);
        } else if (argument.startsWith('-') || argument.startsWith('/')) {
            word = argument.mid(1);
        } else {
            return error(unknown_option(argument));
        }
        if (!is_help_word(word))
            return error(unknown_option(argument));
        if (arguments.size() != 1) {
            return error(main_text("Если в командной строке определена опция «%1», в ней не должно быть никаких "
                                   "других опций или параметров.")
                             .arg(QString::fromUtf8(argument)));
        }
        result.kind = Command_line::Kind::help;
        return result;
    }
    return result;
}

QString help_title()
{
    return QStringLiteral("%1 --help").arg(QString::fromUtf8(build_info::program_name));
}

QString help_text()
{
    return main_text("%1\n\nОпции командной строки:\n"
                     "--help, -?, -h, -help, /?, /h, /help и т.п. - выдать этот текст и выйти\n"
                     "--cfg=\"файл\" - использовать указанный файл конфигурации (если опция не указана, "
                     "используется файл «%2»)\n"
                     "--log=\"файл\" - использовать указанный файл журнала (если опция не указана, "
                     "используется файл «%3»)\n")
        .arg(version_text(), QString::fromUtf8(default_config_file_name), QString::fromUtf8(default_log_file_name));
}
