#include "config/devices.h"

#include "base/build_info.h"
#include "base/err.h"
#include "base/log.h"
#include "config/file_error.h"
#include "config/settings.h"
#include "parser/utf8_file_parser.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSaveFile>

#include <cctype>
#include <cstring>

QString format_eui(Eui eui)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text(16, Qt::Uninitialized);
    QChar *out = text.data();
    for (int i = 15; i >= 0; --i) {
        out[i] = QLatin1Char(digits[eui & 0xF]);
        eui >>= 4;
    }
    return text;
}

namespace {

// The file and the cause of the last failed save; empty once a save has succeeded.
QString unsaved_line;

}

void reset_devices()
{
    served_model.clear();
    unsaved_line.clear();
}

QString devices_unsaved()
{
    return unsaved_line;
}

void log_devices_lost()
{
    if (!unsaved_line.isEmpty())
        log_line(unsaved_line + QCoreApplication::translate("main", " Изменения списка радиомодемов потеряны: "
                                                                    "программа завершается."));
}

namespace {

QString tr_parser(const char *source)
{
    return QCoreApplication::translate("parser", source);
}

struct Device_statement {
    bool have_eui = false;
    bool have_port = false;
    bool have_frame = false;
    bool have_mode = false;
    Eui eui = 0;
    Device_params params;
};

// The value is a whole word: "rawx" is no "raw" with junk after it.
bool read_word(Utf8_file_parser &p, const char *word)
{
    const std::size_t length = std::strlen(word);
    // Compared first: the text may end before the word would.
    if (std::strncmp(p.cur, word, length) != 0)
        return false;
    const char next = p.cur[length];
    if (next == '_' || std::isalnum(static_cast<unsigned char>(next)))
        return false;
    p.cur += length;
    return true;
}

Device_mode read_mode(Utf8_file_parser &p)
{
    if (read_word(p, "raw"))
        return Device_mode::raw;
    if (read_word(p, "modbus_tcp"))
        return Device_mode::modbus_tcp;
    p.fail(tr_parser("неправильное значение атрибута «mode»: знаю только значения «raw» и «modbus_tcp»."));
}

void read_attribute(Utf8_file_parser &p, Device_statement &d)
{
    bool known = false;
    switch (*p.cur) {
    case 'e':
        known = p.begin_param("eui", d.have_eui);
        if (known)
            d.eui = p.read_hex64();
        break;
    case 't':
        known = p.begin_param("tcp_port", d.have_port);
        if (known)
            d.params.tcp_port = p.read_uint16(65535);
        break;
    case 'm':
        known = p.begin_param("max_frame", d.have_frame);
        if (known) {
            d.params.max_frame = static_cast<std::int32_t>(p.read_uint32(1, 9999));
            break;
        }
        known = p.begin_param("mode", d.have_mode);
        if (known)
            d.params.mode = read_mode(p);
        break;
    default:
        break;
    }
    if (!known)
        p.fail(tr_parser("неизвестный атрибут объекта «device». Знаю только атрибуты «eui», «tcp_port», «max_frame» и «mode»."));
}

// From "device" to ")".
Device_statement read_statement(Utf8_file_parser &p)
{
    if (std::strncmp(p.cur, "device", 6) != 0)
        p.fail(tr_parser("файл со списком устройств должен состоять только из предложений «device»."));
    p.cur += 6;
    p.skip_spaces();
    p.expect_char('(');
    p.skip_spaces();

    Device_statement d;
    if (*p.cur == ')') {
        ++p.cur;
    } else {
        for (;;) {
            read_attribute(p, d);
            p.skip_spaces();
            if (*p.cur == ',') {
                ++p.cur;
                p.skip_spaces();
                continue;
            }
            if (*p.cur == ')') {
                ++p.cur;
                break;
            }
            p.fail(tr_parser("ожидается запятая, разделяющая атрибуты, или круглая скобка, завершающая список атрибутов."));
        }
    }
    if (!d.have_frame)
        d.params.max_frame = static_cast<std::int32_t>(settings.default_max_frame);
    if (!d.have_eui)
        p.fail(tr_parser("в описании объекта «device» отсутствует обязательный атрибут: «eui»."));
    if (!d.have_port)
        p.fail(tr_parser("в описании объекта «device» отсутствует обязательный атрибут: «tcp_port»."));
    return d;
}

} // namespace

void read_devices()
{
    const QString file_name = settings.devices_file;
    Utf8_file_parser p(file_name);
    reset_devices();

    p.skip_spaces();
    while (*p.cur) {
        const Device_statement d = read_statement(p);
        switch (served_model.try_add({d.eui, d.params})) {
        case Served_devices_model::Clash::eui:
            log_line(tr_parser("Файл со списком устройств («%1») несколько раз упоминает устройство с eui=0x%2. Все упоминания кроме первого игнорируются.")
                         .arg(file_name, format_eui(d.eui)));
            break;
        case Served_devices_model::Clash::port:
            log_line(tr_parser("Файл со списком устройств «%1» несколько раз упоминает один и тот же номер порта TCP: %2. Все упоминания кроме первого игнорируются.")
                         .arg(file_name, QString::number(d.params.tcp_port)));
            break;
        case Served_devices_model::Clash::none:
            if (!is_servable(d.params))
                log_line(tr_parser("Файл со списком устройств «%1» назначает радиомодему с eui=0x%2 порт TCP %3. Этот радиомодем не будет обслуживаться: номер порта должен быть в диапазоне 1...65535.")
                             .arg(file_name, format_eui(d.eui), QString::number(d.params.tcp_port)));
            break;
        }
        p.skip_spaces();
    }
}

namespace {

// The toolkit's own text of a failed save may be English, so it goes to the log only.
void log_save_error(const QSaveFile &file)
{
    log_line(QCoreApplication::translate("file", "Ошибка при записи файла «%1»: error=%2, errorString=«%3».")
                 .arg(file.fileName(), QString::number(file.error()), file.errorString()));
}

// The whole text in UTF-8 after a byte order mark, as the file holds it.
QByteArray devices_text()
{
    QString text = QCoreApplication::translate("main", "# Содержимое этого файла сформировано программой %1 %2.\n\n")
                       .arg(QLatin1String(build_info::program_name), QLatin1String(build_info::version));
    for (const auto &entry : served_devices) {
        // Raw is the default and is not written, so that files without gateways stay as they were.
        const QLatin1String mode(entry.second.mode == Device_mode::modbus_tcp ? ", mode=modbus_tcp" : "");
        text += QStringLiteral("device(eui=%1, tcp_port=%2, max_frame=%3%4)\n")
                    .arg(format_eui(entry.first), QString::number(entry.second.tcp_port),
                         QString::number(entry.second.max_frame), mode);
    }
    return QByteArrayLiteral("\xEF\xBB\xBF") + text.toUtf8();
}

} // namespace

void write_devices()
{
    const QString path = QFileInfo(settings.devices_file).absoluteFilePath();
    const auto failed = [&path](const QString &text, const QString &cause) {
        unsaved_line = QCoreApplication::translate("main", "Список не сохранён в файле «%1»: %2.").arg(path, cause);
        return Err(text + QCoreApplication::translate("main", " Файл «%1»: %2.").arg(path, cause));
    };
    // Unbuffered, so that the write which fails is the one that names the cause: a
    // buffered flush cut short reports an unknown error, and closing the file forgets it.
    QSaveFile file(settings.devices_file);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Unbuffered)) {
        log_save_error(file);
        // The toolkit's text for a file that may not be replaced is its own, in English.
        const QFileInfo existing(path);
        const QString cause = existing.exists() && !existing.isWritable()
            ? QCoreApplication::translate("file", "файл доступен только для чтения")
            : file_error_text(file);
        throw failed(QCoreApplication::translate("main", "Не удалось начать запись в файл списка устройств, подлежащих обслуживанию."), cause);
    }
    const QByteArray bytes = devices_text();
    // A short write (a full disk, a size limit) is no error yet; the next write says why.
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 count = file.write(bytes.constData() + written, bytes.size() - written);
        if (count <= 0)
            break;
        written += count;
    }

    // A failed write or replacement leaves the old file as it was; the user must hear of it.
    if (written < bytes.size() || !file.commit()) {
        log_save_error(file);
        throw failed(QCoreApplication::translate("main", "Не удалось сохранить файл списка устройств, подлежащих обслуживанию."),
                     file_error_text(file));
    }
    unsaved_line.clear();
}
