#include "tcp/client_reader.h"

#include "base/err.h"
#include "base/log.h"
#include "config/settings.h"
#include "tcp/exchange_monitor.h"
#include "tcp/tcp_sockets.h"

#include <QCoreApplication>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace {

constexpr unsigned module = 8;

} // namespace

Client_reader::Client_reader(int max_frame, std::uint16_t tcp_port, Exchange_monitor *monitor)
    : message(max_frame), max_frame(max_frame), tcp_port(tcp_port), monitor(monitor)
{
}

bool Client_reader::read(QTcpSocket &client)
{
    const int before = message.size();
    const qint64 wanted = std::min(message.space(), std::max<qint64>(client.bytesAvailable(), 1));
    qint64 got = 0;
    try {
        got = message.read_from(client, wanted);
    } catch (const Err &) {
        // Already logged; without room for its bytes this client cannot be served any more.
        return false;
    }
    // Traced before the limit is checked, so that at "all" an overlong message is in the log whole.
    if (got > 0 && got <= wanted && tcp_tracing())
        log_data((tcp_prefix(tcp_port) + QStringLiteral(".recv ")).toUtf8().constData(), message.data() + before,
                 std::size_t(got));
    if (got > wanted) {
        log_unexpected(place_code(module, 6));
        return false;
    }
    if (got > 0 && message.overlong()) {
        static const QString text = QCoreApplication::translate(
            "log", "Ошибка: от клиента на порту %1 пришло сообщение, размер которого превышает предельный для "
                   "этого клиента (%2 байтов). Предельный размер сообщения можно настроить в файле конфигурации "
                   "и в описании устройства.");
        log_line(text.arg(tcp_port).arg(max_frame));
        if (settings.trace_tcp == Trace_level::bad_frames)
            log_data("Уже принятая часть сообщения, вызвавшего предыдущую ошибку: ", message.data(),
                     std::size_t(message.size()));
        return false;
    }
    if (got > 0)
        return true;
    static const QString text = QCoreApplication::translate(
        "log", "Ошибка при чтении принятых от клиента данных. Код ошибки=%1 («%2»). Длина прочитанных "
               "данных=%3.");
    log_line(text.arg(int(client.error())).arg(client.errorString()).arg(got));
    return false;
}

bool Client_reader::hand_over(Downlinks *downlinks, Downlink_origin *origin, Eui eui)
{
    if (message.empty())
        return true;
    Downlink downlink{eui, message.take(), origin};
    if (!downlinks)
        return true;
    const QByteArray sent = downlink.data;
    if (downlinks->enqueue_message(std::move(downlink))) {
        if (monitor)
            monitor->to_modem(sent);
        return true;
    }
    static const QString text = QCoreApplication::translate(
        "log", "Ошибка: клиент на порту %1 прислал сообщение, когда для этого устройства уже ждут отправки %2 "
               "сообщений (сервер QUVO-LoRa не успевает передавать их с такой скоростью). Обмен с клиентом "
               "прекращён, его сообщения, ещё не переданные серверу QUVO-LoRa, удалены.");
    log_line(text.arg(tcp_port).arg(downlinks->modem_cap()));
    return false;
}
