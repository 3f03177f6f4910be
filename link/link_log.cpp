#include "link/link_log.h"

#include "base/log.h"
#include "config/settings.h"
#include "link/server_commands.h"

#include <QCoreApplication>

namespace {

QString tr_log(const char *text)
{
    return QCoreApplication::translate("log", text);
}

// The password, where a frame holds it as a JSON string of its own (the log-in, or a server
// that quotes it back), gives way to a mask: a log sent to a colleague or to a vendor's
// support must not give the server account away.
QByteArray without_password(QByteArray frame)
{
    if (settings.ws_password.isEmpty())
        return frame;
    const QByteArray quoted = '"' + json_escaped(settings.ws_password).toUtf8() + '"';
    return frame.replace(quoted, QByteArrayLiteral("\"***\""));
}

void log_text_frame(const char *prefix, const QString &text)
{
    const QByteArray utf8 = without_password(text.toUtf8());
    log_utf8(prefix, utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

void log_binary(const char *prefix, const QByteArray &message)
{
    const QByteArray shown = without_password(message);
    log_data(prefix, shown.constData(), static_cast<std::size_t>(shown.size()));
}

} // namespace

QString text_connect_error()
{
    static const QString text =
        tr_log("Не удалось установить соединение с сервером QUVO-LoRa. Код ошибки = %1 («%2»).");
    return text;
}

void trace_sent(const QString &text)
{
    if (settings.trace_ws == Trace_level::all)
        log_text_frame("to(QUVO-LoRa): ", text);
}

void trace_received(const QString &message)
{
    if (settings.trace_ws == Trace_level::all)
        log_text_frame("from(QUVO-LoRa): ", message);
}

void trace_bad_text(const QString &message)
{
    if (settings.trace_ws == Trace_level::bad_frames)
        log_text_frame("Сообщение сервера QUVO-LoRa, вызвавшее предыдущую ошибку: ", message);
}

void log_binary_frame(const QByteArray &message)
{
    if (settings.trace_ws == Trace_level::all)
        log_binary("from(QUVO-LoRa), binary frame: ", message);
    log_line(tr_log("Ошибка: от сервера QUVO-LoRa пришло сообщение в двоичном формате (в протоколе есть "
                    "только текстовые сообщения)."));
    if (settings.trace_ws == Trace_level::bad_frames)
        log_binary("Сообщение сервера QUVO-LoRa, вызвавшее предыдущую ошибку (binary frame): ", message);
}
