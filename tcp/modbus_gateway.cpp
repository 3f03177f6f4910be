#include "tcp/modbus_gateway.h"

#include "base/err.h"
#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "shared/shared_state.h"
#include "tcp/peer_access.h"
#include "tcp/tcp_link.h"
#include "tcp/tcp_sockets.h"
#include "tcp/uplink_writer.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QTcpSocket>

#include <algorithm>
#include <exception>

namespace {

constexpr unsigned module = 11;
constexpr std::uint8_t broadcast_unit = 0;
// Unit id and CRC around the PDU.
constexpr int rtu_overhead = 3;

QString tr_log(const char *text)
{
    return QCoreApplication::translate("log", text);
}

QString hex_byte(std::uint8_t value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

} // namespace

Modbus_gateway::Modbus_gateway(Tcp_link &keeper, Downlinks *downlinks, Eui eui, const Device_params &params)
    : keeper(&keeper), downlinks(downlinks), eui(eui), params(params), monitor(eui), group(eui, &monitor)
{
    if (!connect(&listener, &QTcpServer::newConnection, this, &Modbus_gateway::on_new_connection)
        || !connect(&listener, &QTcpServer::acceptError, this, &Modbus_gateway::on_accept_error)
        || !connect(&reply_timer, &QTimer::timeout, this, &Modbus_gateway::on_timeout))
        throw Debug(place_code(module, 1));
    reply_timer.setSingleShot(true);
    tcp_trace(prefix() + QStringLiteral(".listen"));
    listen_for_clients(listener, params.tcp_port);
    keeper.server_started(this);
}

Modbus_gateway::~Modbus_gateway()
{
    for (QObject *socket : qAsConst(sockets))
        socket->disconnect(this);
    tcp_trace(prefix() + QStringLiteral(".shutdown_server_ok"));
    in_flight.reset();
    if (keeper)
        keeper->server_destroyed(this);
}

QString Modbus_gateway::prefix() const
{
    return tcp_prefix(params.tcp_port);
}

void Modbus_gateway::forget_link()
{
    keeper = nullptr;
    downlinks = nullptr;
}

void Modbus_gateway::on_new_connection()
{
    try {
        while (QTcpSocket *socket = listener.nextPendingConnection())
            accept_master(socket);
    } catch (const std::exception &e) {
        log_exception(e, tr_log("Не удалось принять соединение от клиента TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 2));
    }
}

void Modbus_gateway::on_accept_error(QAbstractSocket::SocketError error)
{
    if (retry_accepting(listener, error, params.tcp_port) && keeper)
        keeper->out_of_descriptors();
}

void Modbus_gateway::accept_master(QTcpSocket *socket)
{
    if (!peer_allowed(socket->peerAddress())) {
        refuse_client(socket, params.tcp_port);
        return;
    }
    tcp_trace(peer_prefix(params.tcp_port, socket) + QStringLiteral(".accept"));
    if (!connect(socket, &QObject::destroyed, this, &Modbus_gateway::on_connection_destroyed)) {
        log_unexpected(place_code(module, 3));
        delete socket;
        return;
    }
    ++refs;
    sockets.insert(socket);
    if (!connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater)) {
        log_unexpected(place_code(module, 4));
        socket->deleteLater();
        return;
    }
    if (int(masters.size()) >= max_masters) {
        static const QString text = tr_log(
            "К порту %1 шлюза Modbus TCP уже подключены %2 клиентов, больше не допускается. Соединение с "
            "новым клиентом закрыто.");
        log_line(text.arg(params.tcp_port).arg(max_masters));
        close_client(socket, params.tcp_port);
        return;
    }
    if (!connect(socket, &QTcpSocket::readyRead, this, &Modbus_gateway::on_ready_read)
        || !connect(socket, &QTcpSocket::disconnected, this, &Modbus_gateway::on_master_disconnected)) {
        log_unexpected(place_code(module, 5));
        close_client(socket, params.tcp_port);
        return;
    }
    const QString peer = Exchange_monitor::peer_of(*socket);
    masters.push_back(Master{socket, {}, peer});
    if (masters.size() == 1)
        note_in_use(true);
    monitor.client_event(Monitor_row::Kind::connected, peer, masters.front().peer, int(masters.size()));
}

// The window counts the modems in use by clients: a gateway's port counts once, from its
// first master until its last has gone.
void Modbus_gateway::note_in_use(bool in_use)
{
    bool notify;
    {
        QMutexLocker lock(&state_mutex);
        clients_count += in_use ? 1 : -1;
        if (keeper)
            keeper->note_client(this, in_use);
        notify = note_clients_changed();
    }
    if (notify && keeper)
        keeper->client_count_changed();
}

Modbus_gateway::Master *Modbus_gateway::master_of(const QObject *socket)
{
    const auto it = std::find_if(masters.begin(), masters.end(),
                                 [socket](const Master &m) { return m.socket == socket; });
    return it == masters.end() ? nullptr : &*it;
}

void Modbus_gateway::on_ready_read()
{
    try {
        if (auto *socket = qobject_cast<QTcpSocket *>(sender()))
            read_master(socket);
        else
            log_unexpected(place_code(module, 6));
    } catch (const std::exception &e) {
        log_exception(e, tr_log("Не удалось обработать данные от клиента TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 7));
    }
}

void Modbus_gateway::read_master(QTcpSocket *socket)
{
    Master *master = shut ? nullptr : master_of(socket);
    if (!master) {
        tcp_trace(peer_prefix(params.tcp_port, socket) + QStringLiteral(".recv ignored"));
        socket->readAll();
        return;
    }
    const QByteArray bytes = socket->readAll();
    if (tcp_tracing())
        log_data((peer_prefix(params.tcp_port, socket) + QStringLiteral(".recv ")).toUtf8().constData(),
                 bytes.constData(), std::size_t(bytes.size()));
    master->reader.append(bytes);
    for (;;) {
        Modbus_request request;
        switch (master->reader.next(request)) {
        case Mbap_reader::Outcome::need_more:
            return;
        case Mbap_reader::Outcome::frame:
            take_request(socket, std::move(request));
            // Answering may have closed the master.
            master = master_of(socket);
            if (!master)
                return;
            break;
        case Mbap_reader::Outcome::malformed: {
            static const QString text = tr_log(
                "Клиент на порту %1 прислал кадр Modbus TCP с неправильным заголовком MBAP (идентификатор "
                "протокола должен быть равен 0, длина - от 2 до 254). Соединение с этим клиентом разорвано.");
            log_line(text.arg(params.tcp_port));
            close_master(socket);
            return;
        }
        }
    }
}

void Modbus_gateway::take_request(QTcpSocket *socket, Modbus_request request)
{
    const std::uint8_t function = std::uint8_t(request.pdu.at(0));
    const int frame_size = request.pdu.size() + rtu_overhead;
    if (frame_size > params.max_frame) {
        static const QString text = tr_log(
            "Запрос Modbus от клиента на порту %1 занял бы в кадре RTU %2 байтов, больше предельного размера "
            "сообщения для этого устройства (%3 байтов), и не передан.");
        static const QString answered = tr_log(" Клиенту отправлен ответ с кодом исключения %1.");
        QString line = text.arg(params.tcp_port).arg(frame_size).arg(params.max_frame);
        if (request.unit != broadcast_unit)
            line += answered.arg(hex_byte(std::uint8_t(Modbus_exception::path_unavailable)));
        log_line(line);
        answer(socket, request, modbus_exception_pdu(function, std::uint8_t(Modbus_exception::path_unavailable)));
        return;
    }
    const std::size_t outstanding = waiting.size() + (in_flight ? 1 : 0);
    if (outstanding >= std::size_t(max_outstanding)) {
        tcp_trace(peer_prefix(params.tcp_port, socket) + QStringLiteral(".busy"));
        answer(socket, request, modbus_exception_pdu(function, std::uint8_t(Modbus_exception::device_busy)));
        return;
    }
    waiting.push_back(Waiting{socket, std::move(request)});
    send_next();
}

void Modbus_gateway::on_next_request()
{
    try {
        send_next();
    } catch (const std::exception &e) {
        log_exception(e, tr_log("Не удалось передать запрос клиента Modbus TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 13));
    }
}

// The modem's serial line serves one request at a time: the next goes once the one on the
// wire is answered, has timed out or was refused (a broadcast: once the server has taken it).
void Modbus_gateway::send_next()
{
    if (in_flight || waiting.empty())
        return;
    Waiting next = std::move(waiting.front());
    waiting.pop_front();
    const QByteArray frame = rtu_frame(next.request.unit, next.request.pdu);
    in_flight = std::make_unique<In_flight>(*this, std::move(next), ++sent);
    // Armed first, so that whatever goes wrong below, the line is freed in time.
    reply_timer.start(int(settings.modbus_timeout));
    if (downlinks && !downlinks->enqueue_message(Downlink{eui, frame, in_flight.get()})) {
        static const QString text = tr_log(
            "Запрос Modbus от клиента на порту %1 не передан: для радиомодема с EUI=0x%2 уже ждут отправки %3 "
            "сообщений.");
        log_line(text.arg(params.tcp_port).arg(format_eui(eui)).arg(downlinks->modem_cap()));
        finish(exception_pdu(Modbus_exception::device_busy));
    } else if (downlinks) {
        monitor.to_modem(frame);
    }
}

QByteArray Modbus_gateway::exception_pdu(Modbus_exception code) const
{
    return modbus_exception_pdu(std::uint8_t(in_flight->waiting.request.pdu.at(0)), std::uint8_t(code));
}

// Called while the link reads the server's reply: what follows from it waits for the event
// loop, so that nothing is sent before the link has finished with that reply.
void Modbus_gateway::on_link_outcome(const In_flight *request, bool appended)
{
    // A request is done when it is answered; a broadcast, when the server has taken it.
    if (appended && request->waiting.request.unit != broadcast_unit)
        return;
    const quint64 serial = request->serial;
    if (!appended)
        monitor.refused();
    QMetaObject::invokeMethod(this, [this, serial, appended] {
        try {
            link_outcome(serial, appended);
        } catch (const std::exception &e) {
            log_exception(e, tr_log("Не удалось ответить клиенту Modbus TCP."));
        } catch (...) {
            log_unexpected(place_code(module, 8));
        }
    }, Qt::QueuedConnection);
}

void Modbus_gateway::link_outcome(quint64 serial, bool appended)
{
    if (!in_flight || in_flight->serial != serial)
        return;
    if (appended) {
        finish(QByteArray());
        return;
    }
    static const QString text = tr_log("Сервер QUVO-LoRa не принял запрос Modbus для радиомодема с EUI=0x%1.");
    static const QString answered = tr_log(" Клиенту на порту %1 отправлен ответ с кодом исключения %2.");
    QString line = text.arg(format_eui(eui));
    if (in_flight->waiting.request.unit != broadcast_unit)
        line += answered.arg(params.tcp_port).arg(hex_byte(std::uint8_t(Modbus_exception::path_unavailable)));
    log_line(line);
    finish(exception_pdu(Modbus_exception::path_unavailable));
}

void Modbus_gateway::on_timeout()
{
    try {
        if (!in_flight)
            return;
        // Still waiting in the link's queue, it would only reach the modem too late.
        if (downlinks)
            downlinks->drop_messages_of(in_flight.get());
        if (in_flight->waiting.request.unit == broadcast_unit) {
            tcp_trace(prefix() + QStringLiteral(".broadcast unsent"));
            finish(QByteArray());
            return;
        }
        static const QString text = tr_log(
            "Радиомодем с EUI=0x%1 не ответил на запрос Modbus за %2 мс. Клиенту на порту %3 отправлен ответ с "
            "кодом исключения %4.");
        log_line(text.arg(format_eui(eui)).arg(settings.modbus_timeout).arg(params.tcp_port)
                     .arg(hex_byte(std::uint8_t(Modbus_exception::target_failed))));
        finish(exception_pdu(Modbus_exception::target_failed));
    } catch (const std::exception &e) {
        log_exception(e, tr_log("Не удалось ответить клиенту Modbus TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 9));
    }
}

// The request on the wire is done: its master gets pdu (nothing when empty, or when it is
// gone), and the next request goes from the event loop.
void Modbus_gateway::finish(const QByteArray &pdu)
{
    reply_timer.stop();
    const std::unique_ptr<In_flight> done = std::move(in_flight);
    QMetaObject::invokeMethod(this, &Modbus_gateway::on_next_request, Qt::QueuedConnection);
    if (!pdu.isEmpty())
        answer(done->waiting.master, done->waiting.request, pdu);
}

void Modbus_gateway::on_modem_data(const QByteArray &data, bool has_fcnt, std::uint32_t fcnt)
{
    QByteArray joined;
    // A lost group is logged where it is found; the request's wait goes on.
    if (group.add(data, has_fcnt, fcnt, joined) == Packet_group::Outcome::complete)
        on_reply(joined);
}

void Modbus_gateway::on_reply(const QByteArray &frame)
{
    if (tcp_tracing())
        log_data((prefix() + QStringLiteral(".modem ")).toUtf8().constData(), frame.constData(),
                 std::size_t(frame.size()));
    if (!in_flight || in_flight->waiting.request.unit == broadcast_unit) {
        tcp_trace(prefix() + QStringLiteral(".modem ignored"));
        return;
    }
    const Modbus_request &request = in_flight->waiting.request;
    const std::uint8_t function = std::uint8_t(request.pdu.at(0));
    QString fault;
    switch (check_rtu_reply(frame, request.unit, function)) {
    case Rtu_check::good:
        if (rtu_pdu(frame).size() > modbus_max_pdu) {
            fault = tr_log("он длиннее, чем вмещает кадр Modbus TCP (%1 байтов)").arg(frame.size());
        } else if (!reply_answers(request.pdu, rtu_pdu(frame))) {
            fault = tr_log("он не соответствует запросу (возможно, это запоздалый ответ на прежний запрос)");
        } else {
            monitor.to_client(frame);
            finish(rtu_pdu(frame));
            return;
        }
        break;
    case Rtu_check::too_short:
        fault = tr_log("кадр неправильной длины (%1 байтов)").arg(frame.size());
        break;
    case Rtu_check::bad_crc:
        fault = tr_log("неверная контрольная сумма");
        break;
    case Rtu_check::other_unit:
        fault = tr_log("адрес устройства %1 вместо %2").arg(int(std::uint8_t(frame.at(0)))).arg(int(request.unit));
        break;
    case Rtu_check::other_function:
        fault = tr_log("код функции %1 вместо %2").arg(hex_byte(std::uint8_t(frame.at(1))), hex_byte(function));
        break;
    }
    static const QString text = tr_log(
        "Ответ радиомодема с EUI=0x%1 на запрос Modbus отброшен: %2. Ожидание ответа продолжается.");
    log_line(text.arg(format_eui(eui), fault));
    if (settings.trace_tcp == Trace_level::bad_frames)
        log_data("Отброшенный ответ: ", frame.constData(), std::size_t(frame.size()));
}

// A master that has gone, or a broadcast, gets nothing.
void Modbus_gateway::answer(QTcpSocket *master, const Modbus_request &request, const QByteArray &pdu)
{
    if (!master || shut || request.unit == broadcast_unit || !master_of(master))
        return;
    const QByteArray frame = mbap_frame(request.transaction, request.unit, pdu);
    if (tcp_tracing())
        log_data((peer_prefix(params.tcp_port, master) + QStringLiteral(".send ")).toUtf8().constData(),
                 frame.constData(), std::size_t(frame.size()));
    if (master->bytesToWrite() + frame.size() > Uplink_writer::write_limit) {
        static const QString text = tr_log(
            "Клиент на порту %1 не принимает ответы шлюза Modbus TCP: ожидают отправки ему %2 байтов. "
            "Соединение с клиентом разорвано.");
        log_line(text.arg(params.tcp_port).arg(master->bytesToWrite()));
        master_gone(master);
        master->abort();
        return;
    }
    if (master->write(frame) != frame.size()) {
        static const QString text = tr_log(
            "Ошибка при записи в сокет для передачи клиенту ответа Modbus от радиомодема с EUI=0x%1.");
        log_line(text.arg(format_eui(eui)));
        close_master(master);
    }
}

void Modbus_gateway::on_master_disconnected()
{
    try {
        // Masters that the program closes itself are counted out when destroyed (their closing
        // may run inside a section that holds state_mutex).
        if (!shut && master_of(sender())) {
            tcp_trace(prefix() + QStringLiteral(".disconnected"));
            master_gone(sender());
        }
    } catch (const std::exception &e) {
        log_exception(e, tr_log("Не удалось обработать закрытие соединения с клиентом TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 10));
    }
}

void Modbus_gateway::close_master(QTcpSocket *socket)
{
    master_gone(socket);
    close_client(socket, params.tcp_port);
}

// Its waiting requests go unsent; the one on the wire still holds the modem's line until it
// is answered or times out, and its answer goes to nobody. Never called with state_mutex held.
void Modbus_gateway::master_gone(const QObject *socket)
{
    const auto it = std::find_if(masters.begin(), masters.end(),
                                 [socket](const Master &m) { return m.socket == socket; });
    if (it == masters.end())
        return;
    const QString peer = it->peer;
    masters.erase(it);
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                 [socket](const Waiting &w) { return w.master == socket; }),
                  waiting.end());
    if (in_flight && in_flight->waiting.master == socket)
        in_flight->waiting.master = nullptr;
    if (masters.empty())
        note_in_use(false);
    monitor.client_event(Monitor_row::Kind::disconnected, peer, masters.empty() ? QString() : masters.front().peer,
                         int(masters.size()));
}

void Modbus_gateway::on_connection_destroyed(QObject *object)
{
    try {
        if (!sockets.remove(object)) {
            log_unexpected(place_code(module, 11));
            return;
        }
        if (master_of(object))
            master_gone(object);
        tcp_trace(prefix() + QStringLiteral(".shutdown_ok"));
    } catch (const std::exception &e) {
        log_exception(e, tr_log("Не удалось обработать закрытие соединения с клиентом TCP."));
    } catch (...) {
        log_unexpected(place_code(module, 12));
    }
    if (refs == 1)
        deleteLater();
    else
        --refs;
}

// Runs inside a section that holds state_mutex: the masters are counted out as their sockets
// are destroyed.
void Modbus_gateway::shutdown_server()
{
    tcp_trace(prefix() + QStringLiteral(".shutdown_server"));
    shut = true;
    listener.close();
    reply_timer.stop();
    waiting.clear();
    if (in_flight) {
        if (downlinks)
            downlinks->drop_messages_of(in_flight.get());
        in_flight.reset();
    }
    if (refs == 1) {
        delete this;
        return;
    }
    --refs;
    for (const Master &master : masters)
        close_client(master.socket, params.tcp_port);
}
