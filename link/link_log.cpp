#include "link/link_log.h"

#include "app/log.h"
#include "config/settings.h"

#include <QCoreApplication>

namespace {

QString tr_log(const char *text)
{
    return QCoreApplication::translate("log", text);
}

void log_text_frame(const char *prefix, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    log_utf8(prefix, utf8.constData(), static_cast<std::size_t>(utf8.size()));
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
    const auto size = static_cast<std::size_t>(message.size());
    if (settings.trace_ws == Trace_level::all)
        log_data("from(QUVO-LoRa), binary frame: ", message.constData(), size);
    log_line(tr_log("Ошибка: от сервера QUVO-LoRa пришло сообщение в двоичном формате (в протоколе есть "
                    "только текстовые сообщения)."));
    if (settings.trace_ws == Trace_level::bad_frames)
        log_data("Сообщение сервера QUVO-LoRa, вызвавшее предыдущую ошибку (binary frame): ", message.constData(),
                 size);
}
