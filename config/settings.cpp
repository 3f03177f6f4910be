#include "config/settings.h"

#include "config/address_readers.h"
#include "parser/load_file.h"
#include "parser/utf8_file_parser.h"

#include <QCoreApplication>
#include <QFile>

#include <cstring>

Settings settings;

void reset_settings()
{
    settings = Settings();
}

namespace {

QString tr_parser(const char *source)
{
    return QCoreApplication::translate("parser", source);
}

bool starts_with(const char *text, const char *word)
{
    return std::strncmp(text, word, std::strlen(word)) == 0;
}

// After "=": "(pem)" or "(der)", then the file name literal.
void read_certificate(Utf8_file_parser &p)
{
    if (*p.cur == '(') {
        ++p.cur;
        p.skip_spaces();
        if (starts_with(p.cur, "pem") || starts_with(p.cur, "PEM") || starts_with(p.cur, "Pem")) {
            settings.ws_cert_format = QSsl::Pem;
        } else if (starts_with(p.cur, "der") || starts_with(p.cur, "DER") || starts_with(p.cur, "Der")) {
            settings.ws_cert_format = QSsl::Der;
        } else {
            p.fail(QCoreApplication::translate("file", "указан незнакомый формат сертификата. Знаю только «pem» и «der»."));
        }
        p.cur += 3;
        p.skip_spaces();
        p.expect_char(')');
        p.skip_spaces();
    } else {
        settings.ws_cert_format = QSsl::Pem;
    }
    const QString file_name = p.read_string();

    QFile file(file_name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        p.fail(QCoreApplication::translate("file", "Ошибка при попытке открыть файл «%1», чтобы прочитать из него сертификат: error=%2, errorString=«%3».")
                   .arg(file_name, QString::number(file.error()), file.errorString()));
    }
    // Bounded, so that a device file such as /dev/zero named by mistake cannot exhaust memory.
    const QSslCertificate certificate(file.read(MAX_FILE_SIZE), settings.ws_cert_format);
    if (certificate.isNull()) {
        p.fail(QCoreApplication::translate("file", "Не удалось прочитать сертификат в формате %1 из файла «%2».")
                   .arg(settings.ws_cert_format == QSsl::Pem ? QStringLiteral("PEM") : QStringLiteral("DER"), file_name));
    }
    settings.ws_cert = certificate;
}

Trace_level read_trace_level(Utf8_file_parser &p, const char *message)
{
    switch (*p.cur) {
    case 'e':
        if (starts_with(p.cur, "err")) {
            p.cur += 3;
            return Trace_level::err;
        }
        break;
    case 'b':
        if (starts_with(p.cur, "bad_frames")) {
            p.cur += 10;
            return Trace_level::bad_frames;
        }
        break;
    case 'a':
        if (starts_with(p.cur, "all")) {
            p.cur += 3;
            return Trace_level::all;
        }
        break;
    default:
        break;
    }
    p.fail(tr_parser(message));
}

} // namespace

void read_config(const QString &file_name)
{
    Utf8_file_parser p(file_name);
    Settings &s = settings;

    bool have_url = false;
    bool have_cert = false;
    bool have_login = false;
    bool have_password = false;
    bool have_connect_timeout = false;
    bool have_auth_timeout = false;
    bool have_reconnect_delay = false;
    bool have_devlist_period = false;
    bool have_devlist_timeout = false;
    bool have_data_timeout = false;
    bool have_devices_file = false;
    bool have_default_max_frame = false;
    bool have_interframe_delay = false;
    bool have_modbus_timeout = false;
    bool have_trace_ws = false;
    bool have_trace_tcp = false;
    bool have_tcp_listen = false;
    bool have_tcp_allow = false;

    constexpr std::uint16_t max_timing = 60000;

    p.skip_spaces();
    while (*p.cur) {
        if (p.begin_param("ws_url", have_url)) {
            s.ws_url = p.read_string();
        } else if (p.begin_param("ws_cert", have_cert)) {
            read_certificate(p);
        } else if (p.begin_param("ws_login", have_login)) {
            s.ws_login = p.read_string();
        } else if (p.begin_param("ws_password", have_password)) {
            s.ws_password = p.read_string();
        } else if (p.begin_param("ws_connect_timeout", have_connect_timeout)) {
            s.ws_connect_timeout = p.read_uint16(max_timing);
        } else if (p.begin_param("ws_auth_timeout", have_auth_timeout)) {
            s.ws_auth_timeout = p.read_uint16(max_timing);
        } else if (p.begin_param("ws_reconnect_delay", have_reconnect_delay)) {
            s.ws_reconnect_delay = p.read_uint16(max_timing);
        } else if (p.begin_param("ws_devlist_period", have_devlist_period)) {
            s.ws_devlist_period = p.read_uint16(max_timing);
        } else if (p.begin_param("ws_devlist_timeout", have_devlist_timeout)) {
            s.ws_devlist_timeout = p.read_uint16(max_timing);
        } else if (p.begin_param("ws_data_timeout", have_data_timeout)) {
            s.ws_data_timeout = p.read_uint16(max_timing);
        } else if (p.begin_param("devices_file", have_devices_file)) {
            s.devices_file = p.read_string();
        } else if (p.begin_param("default_max_frame", have_default_max_frame)) {
            s.default_max_frame = p.read_uint32(1, 9999);
        } else if (p.begin_param("interframe_delay", have_interframe_delay)) {
            s.interframe_delay = p.read_uint32(1, max_timing);
        } else if (p.begin_param("trace_ws", have_trace_ws)) {
            s.trace_ws = read_trace_level(p, QT_TRANSLATE_NOOP("parser", "неправильное значение параметра «trace_ws»: знаю только значения «err», «bad_frames» и «all»."));
        } else if (p.begin_param("trace_tcp", have_trace_tcp)) {
            s.trace_tcp = read_trace_level(p, QT_TRANSLATE_NOOP("parser", "неправильное значение параметра «trace_tcp»: знаю только значения «err», «bad_frames» и «all»."));
        } else if (p.begin_param("tcp_listen", have_tcp_listen)) {
            s.tcp_listen = read_listen_address(p);
        } else if (p.begin_param("modbus_timeout", have_modbus_timeout)) {
            s.modbus_timeout = p.read_uint32(1, max_timing);
        } else if (p.begin_param("tcp_allow", have_tcp_allow)) {
            s.tcp_allow = read_allowed_networks(p);
        } else {
            p.fail(tr_parser("неизвестный параметр. Знаю только параметры «ws_url», «ws_login», «ws_password», «ws_connect_timeout», «ws_auth_timeout», «ws_reconnect_delay», «ws_devlist_period», «ws_devlist_timeout», «ws_data_timeout», «devices_file», «default_max_frame», «interframe_delay», «trace_ws», «trace_tcp», «tcp_listen», «tcp_allow» и «modbus_timeout»."));
        }

        // The next parameter must begin on a later line.
        const char *const after_value = p.cur;
        const std::uint32_t value_line = p.line;
        p.skip_spaces();
        if (p.line == value_line && *p.cur) {
            p.cur = after_value;
            p.fail(tr_parser("ожидается конец строки."));
        }
    }

    if (!have_url)
        p.fail(tr_parser("не определён обязательный параметр «ws_url»."));
    if (!have_login)
        p.fail(tr_parser("не определён обязательный параметр «ws_login»."));
    if (!have_password)
        p.fail(tr_parser("не определён обязательный параметр «ws_password»."));

    if (!have_devices_file)
        s.devices_file = QStringLiteral("devices.cfg");
    if (!have_default_max_frame)
        s.default_max_frame = 51;
    if (!have_interframe_delay)
        s.interframe_delay = 15;
}
