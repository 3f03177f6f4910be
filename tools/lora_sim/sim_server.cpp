#include "lora_sim/sim_server.h"

#include "lora_sim/uplink_packets.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <numeric>
#include <utility>

namespace {

constexpr int recent_limit = 100;

const QString auth_resp = QStringLiteral("auth_resp");
const QString devlist_resp = QStringLiteral("get_device_appdata_resp");
const QString send_data_resp = QStringLiteral("send_data_resp");

QString json_string(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString bool_text(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

bool has_exactly(const QJsonObject &object, QStringList keys)
{
    QStringList present = object.keys();
    present.sort();
    keys.sort();
    return present == keys;
}

bool is_hex(const QString &text, bool upper)
{
    return std::all_of(text.begin(), text.end(), [upper](QChar c) {
        return c.isDigit() || (upper ? (c >= QLatin1Char('A') && c <= QLatin1Char('F'))
                                     : (c >= QLatin1Char('a') && c <= QLatin1Char('f')));
    });
}

QString resp_name(int kind)
{
    static const QString names[] = {auth_resp, devlist_resp, send_data_resp};
    return names[kind];
}

}  // namespace

Sim_server::Sim_server(QObject *parent)
    : QObject(parent)
{
}

Sim_server::~Sim_server()
{
    for (const Session &session : qAsConst(sessions)) {
        session.socket->disconnect(this);
        session.socket->abort();
        delete session.socket;
    }
}

bool Sim_server::listen(quint16 port)
{
    secure = false;
    return start(std::make_unique<QWebSocketServer>(QStringLiteral("lora-netserver-sim"),
                                                    QWebSocketServer::NonSecureMode),
                 port);
}

bool Sim_server::listen_secure(const QSslConfiguration &tls, quint16 port)
{
    auto secure_server =
        std::make_unique<QWebSocketServer>(QStringLiteral("lora-netserver-sim"), QWebSocketServer::SecureMode);
    secure_server->setSslConfiguration(tls);
    secure = true;
    return start(std::move(secure_server), port);
}

bool Sim_server::start(std::unique_ptr<QWebSocketServer> new_server, quint16 port)
{
    if (server) {
        // Its connections still depend on it: it retires with the simulator.
        server->close();
        retired_servers.push_back(std::move(server));
    }
    server = std::move(new_server);
    connect(server.get(), &QWebSocketServer::newConnection, this, &Sim_server::on_new_connection);
    if (!server->listen(QHostAddress::LocalHost, port)) {
        last_error = server->errorString();
        return false;
    }
    bound_port = server->serverPort();
    return true;
}

void Sim_server::stop_listening()
{
    if (server)
        server->close();
}

void Sim_server::set_accepting(bool accepting)
{
    if (!server)
        return;
    if (accepting)
        server->resumeAccepting();
    else
        server->pauseAccepting();
}

quint16 Sim_server::port() const
{
    return bound_port;
}

QUrl Sim_server::url() const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2").arg(secure ? "wss" : "ws").arg(port()));
}

QString Sim_server::error_string() const
{
    return last_error;
}

void Sim_server::set_credentials(const QString &new_login, const QString &new_password)
{
    login = new_login;
    password = new_password;
}

void Sim_server::add_modem(const Sim_modem &modem)
{
    Modem_state state;
    state.modem = modem;
    state.next_fcnt = modem.first_fcnt;
    if (modem.echo.lose >= 0)
        state.lose_next.insert(modem.echo.lose);
    if (modem.behaviour == Modem_behaviour::modbus)
        state.slave.emplace(modem.modbus.unit, modem.modbus.registers);
    modem_list.append(state);
}

int Sim_server::remove_modem(quint64 eui)
{
    const int before = modem_list.size();
    modem_list.erase(std::remove_if(modem_list.begin(), modem_list.end(),
                                    [eui](const Modem_state &state) { return state.modem.eui == eui; }),
                     modem_list.end());
    return before - modem_list.size();
}

QVector<Sim_modem> Sim_server::modems() const
{
    QVector<Sim_modem> result;
    for (const Modem_state &state : modem_list)
        result.append(state.modem);
    return result;
}

Sim_faults &Sim_server::faults()
{
    return fault_set;
}

int Sim_server::send_rx(const Rx_message &rx)
{
    return send_uplink_texts({rx_text(rx)});
}

int Sim_server::send_uplink(quint64 eui, const QByteArray &data)
{
    Modem_state *state = modem_state(eui);
    return state ? send_uplink_texts(uplink_texts(*state, data)) : 0;
}

int Sim_server::send_uplink_texts(const QStringList &texts)
{
    int reached = 0;
    for (const QPointer<QWebSocket> &socket : open_sockets(true)) {
        for (const QString &text : texts) {
            if (socket)
                send_to(socket, text);
        }
        ++reached;
    }
    return reached;
}

int Sim_server::send_text(const QString &text)
{
    const auto sockets = open_sockets(false);
    for (const QPointer<QWebSocket> &socket : sockets) {
        if (socket)
            send_to(socket, text);
    }
    return sockets.size();
}

int Sim_server::send_binary(const QByteArray &bytes)
{
    const auto sockets = open_sockets(false);
    for (const QPointer<QWebSocket> &socket : sockets) {
        if (socket) {
            socket->sendBinaryMessage(bytes);
            emit binary_sent(bytes);
        }
    }
    return sockets.size();
}

void Sim_server::close_connections()
{
    for (const QPointer<QWebSocket> &socket : open_sockets(false)) {
        if (socket)
            socket->close();
    }
}

void Sim_server::abort_connections()
{
    for (Session &session : sessions)
        session.aborted = true;
    for (const QPointer<QWebSocket> &socket : open_sockets(false)) {
        if (socket)
            socket->abort();
    }
}

// A copy, because writing to or closing a socket may end its session on the spot.
QVector<QPointer<QWebSocket>> Sim_server::open_sockets(bool authorised_only) const
{
    QVector<QPointer<QWebSocket>> sockets;
    for (const Session &session : sessions) {
        if (session.authorised || !authorised_only)
            sockets.append(session.socket);
    }
    return sockets;
}

int Sim_server::received(const QString &cmd) const
{
    return received_by_cmd.value(cmd);
}

int Sim_server::bad_commands() const
{
    return bad_count;
}

QString Sim_server::last_bad_reason() const
{
    return bad_reason;
}

int Sim_server::outstanding_send_data() const
{
    return std::accumulate(sessions.begin(), sessions.end(), 0,
                           [](int sum, const Session &session) { return sum + session.outstanding; });
}

int Sim_server::max_outstanding_send_data() const
{
    return max_outstanding;
}

int Sim_server::connections_accepted() const
{
    return accepted;
}

int Sim_server::open_connections() const
{
    return sessions.size();
}

int Sim_server::last_close_code() const
{
    return close_code;
}

QStringList Sim_server::last_texts() const
{
    return recent_texts;
}

void Sim_server::reset_counters()
{
    received_by_cmd.clear();
    bad_count = 0;
    bad_reason.clear();
    max_outstanding = outstanding_send_data();
    accepted = 0;
    close_code = 0;
    recent_texts.clear();
}

void Sim_server::on_new_connection()
{
    while (QWebSocket *socket = server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QWebSocket::textMessageReceived, this, &Sim_server::on_text_message);
        connect(socket, &QWebSocket::binaryMessageReceived, this, &Sim_server::on_binary_message);
        connect(socket, &QWebSocket::disconnected, this, &Sim_server::on_disconnected);
        connect(socket, &QWebSocket::aboutToClose, this, [this, socket] {
            if (Session *session = session_of(socket))
                session->handshake = true;
        });
        sessions.append(Session{socket});
        ++accepted;
        emit connection_accepted();
    }
}

void Sim_server::on_disconnected()
{
    auto *socket = qobject_cast<QWebSocket *>(sender());
    const auto it = std::find_if(sessions.begin(), sessions.end(),
                                 [socket](const Session &session) { return session.socket == socket; });
    if (it == sessions.end())
        return;
    close_code = it->handshake && !it->aborted ? int(socket->closeCode())
                                               : int(QWebSocketProtocol::CloseCodeAbnormalDisconnection);
    sessions.erase(it);
    socket->deleteLater();
    emit connection_closed(close_code);
}

Sim_server::Session *Sim_server::session_of(QWebSocket *socket)
{
    for (Session &session : sessions) {
        if (session.socket == socket)
            return &session;
    }
    return nullptr;
}

void Sim_server::on_binary_message(const QByteArray &bytes)
{
    ++received_by_cmd[QString()];
    ++bad_count;
    bad_reason = QStringLiteral("binary frame");
    emit bad_command(QString::fromLatin1(bytes.toHex(' ')), bad_reason);
}

void Sim_server::on_text_message(const QString &text)
{
    auto *socket = qobject_cast<QWebSocket *>(sender());
    recent_texts.append(text);
    if (recent_texts.size() > recent_limit)
        recent_texts.removeFirst();
    emit text_received(text);
    // Looked up after the signal, whose receivers may have ended the session.
    Session *session = session_of(socket);
    if (!session)
        return;

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    const QJsonObject command = document.object();
    const QString cmd = command.value(QLatin1String("cmd")).toString();
    ++received_by_cmd[cmd];
    ++session->received;
    if (fault_set.close_after > 0 && session->received >= fault_set.close_after) {
        session->socket->close();
        return;
    }
    if (error.error != QJsonParseError::NoError)
        report_bad(text, QStringLiteral("not valid JSON: %1 at %2").arg(error.errorString()).arg(error.offset));
    else if (!document.isObject())
        report_bad(text, QStringLiteral("not a JSON object"));
    else if (cmd == QLatin1String("auth_req"))
        handle_auth(*session, text, command);
    else if (cmd == QLatin1String("get_device_appdata_req"))
        handle_devlist(*session, text, command);
    else if (cmd == QLatin1String("send_data_req"))
        handle_send_data(*session, text, command);
    else
        report_bad(text, QStringLiteral("unknown command"));
    // Reported only now, so that no receiver can end the session while it is being handled.
    const auto reports = std::exchange(bad_reports, {});
    for (const auto &[bad_text, reason] : reports)
        emit bad_command(bad_text, reason);
}

void Sim_server::report_bad(const QString &text, const QString &reason)
{
    ++bad_count;
    bad_reason = reason;
    bad_reports.append({text, reason});
}

void Sim_server::handle_auth(Session &session, const QString &text, const QJsonObject &command)
{
    const QJsonValue user = command.value(QLatin1String("login"));
    const QJsonValue secret = command.value(QLatin1String("password"));
    if (!has_exactly(command, {QStringLiteral("cmd"), QStringLiteral("login"), QStringLiteral("password")}) ||
        !user.isString() || !secret.isString()) {
        report_bad(text, QStringLiteral("auth_req needs exactly the string fields login and password"));
    }
    const bool accepted_login = login.isEmpty() || (user.toString() == login && secret.toString() == password);
    const QString normal =
        accepted_login ? QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":true}")
                       : QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":false,\"err_string\":\"Invalid login or password\"}");
    QPointer<QWebSocket> socket = session.socket;
    answer(session.socket, Kind::auth, normal, QStringLiteral("{\"cmd\":\"auth_resp\"}"), [this, socket, accepted_login] {
        if (Session *s = session_of(socket))
            s->authorised = accepted_login;
    });
}

void Sim_server::handle_devlist(Session &session, const QString &text, const QJsonObject &command)
{
    const QString expected = QStringLiteral("{\"cmd\":\"get_device_appdata_req\",\"keyword\":\"no_attributes\"}");
    if (text != expected)
        report_bad(text, command.value(QLatin1String("keyword")) == QLatin1String("no_attributes")
                             ? QStringLiteral("get_device_appdata_req differs from its template")
                             : QStringLiteral("get_device_appdata_req without \"keyword\":\"no_attributes\""));
    if (!session.authorised) {
        report_bad(text, QStringLiteral("get_device_appdata_req before a successful auth_req"));
        send_to(session.socket,
                QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":false,\"err_string\":\"Not authorised\"}"));
        return;
    }
    answer(session.socket, Kind::devlist,
           QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":true,\"devices_list\":%1}")
               .arg(devices_list_text()),
           QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":true}"), nullptr);
}

void Sim_server::handle_send_data(Session &session, const QString &text, const QJsonObject &command)
{
    ++session.outstanding;
    max_outstanding = std::max(max_outstanding, outstanding_send_data());

    QString problem;
    const QJsonArray list = command.value(QLatin1String("data_list")).toArray();
    const QJsonObject entry = list.isEmpty() ? QJsonObject() : list.at(0).toObject();
    const QString eui = entry.value(QLatin1String("devEui")).toString();
    const QString hex = entry.value(QLatin1String("data")).toString();
    const QJsonValue port = entry.value(QLatin1String("port"));
    if (!has_exactly(command, {QStringLiteral("cmd"), QStringLiteral("data_list")}) || list.size() != 1)
        problem = QStringLiteral("send_data_req needs exactly one entry in \"data_list\"");
    else if (!has_exactly(entry, {QStringLiteral("devEui"), QStringLiteral("data"), QStringLiteral("port")}))
        problem = QStringLiteral("the \"data_list\" entry needs exactly devEui, data and port");
    else if (eui.size() != 16 || !is_hex(eui, true))
        problem = QStringLiteral("\"devEui\" must be 16 uppercase hexadecimal digits");
    else if (hex.size() % 2 != 0 || !is_hex(hex, false) || !hex.startsWith(QLatin1String("04")))
        problem = QStringLiteral("\"data\" must be 04 and then lowercase hexadecimal byte pairs");
    else if (!port.isDouble() || port.toDouble() != 2)
        problem = QStringLiteral("\"port\" must be the number 2");
    else if (text != QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"%1\",\"data\":\"%2\",\"port\":2}]}")
                         .arg(eui, hex))
        problem = QStringLiteral("send_data_req differs from its template");
    else if (!session.authorised)
        problem = QStringLiteral("send_data_req before a successful auth_req");
    if (!problem.isEmpty()) {
        report_bad(text, problem);
        send_to(session.socket, QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":false,\"err_string\":%1}")
                                    .arg(json_string(problem)));
        reply_sent(session.socket, Kind::send_data);
        return;
    }

    const quint64 eui_value = eui.toULongLong(nullptr, 16);
    const QByteArray payload = QByteArray::fromHex(hex.toLatin1()).mid(1);
    const bool appended = modem_state(eui_value) && !fault_set.append_false.contains(eui_value);
    const QString normal =
        QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":true,\"append_status\":[{\"devEui\":\"%1\",\"status\":%2}]}")
            .arg(eui_on_wire(eui_value), bool_text(appended));
    QPointer<QWebSocket> socket = session.socket;
    const bool early = appended && modem_state(eui_value)->modem.echo.early;
    if (early) {
        emit downlink(eui_value, payload);
        schedule_echo(socket, eui_value, payload);
    }
    answer(socket, Kind::send_data, normal, QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":true}"),
           [this, socket, appended, early, eui_value, payload] {
               if (!appended || early)
                   return;
               emit downlink(eui_value, payload);
               schedule_echo(socket, eui_value, payload);
           });
}

void Sim_server::answer(QWebSocket *socket, Kind kind, const QString &normal, const QString &incomplete,
                        std::function<void()> on_normal)
{
    Reply_fault &fault = kind == Kind::auth ? fault_set.auth : kind == Kind::devlist ? fault_set.devlist : fault_set.send_data;
    Reply mode = Reply::normal;
    int delay = 0;
    QString custom;
    if (fault.times != 0) {
        mode = fault.reply;
        delay = fault.delay_ms;
        custom = fault.custom_text;
        if (fault.times > 0)
            --fault.times;
    }
    if (mode == Reply::none)
        return;
    QPointer<QWebSocket> target = socket;
    auto act = [this, target, kind, mode, normal, incomplete, custom, on_normal] {
        if (!target || !session_of(target))
            return;
        if (mode == Reply::close) {
            target->close();
            return;
        }
        reply_sent(target, kind);
        switch (mode) {
        case Reply::normal:
            send_to(target, normal);
            if (on_normal)
                on_normal();
            break;
        case Reply::reject:
            send_to(target, fault_set.err_string.isEmpty()
                                ? QStringLiteral("{\"cmd\":\"%1\",\"status\":false}").arg(resp_name(int(kind)))
                                : QStringLiteral("{\"cmd\":\"%1\",\"status\":false,\"err_string\":%2}")
                                      .arg(resp_name(int(kind)), json_string(fault_set.err_string)));
            break;
        case Reply::incomplete:
            send_to(target, incomplete);
            break;
        case Reply::malformed:
            send_to(target, normal.left(normal.size() / 2));
            break;
        case Reply::binary:
            target->sendBinaryMessage(normal.toUtf8());
            emit binary_sent(normal.toUtf8());
            break;
        case Reply::custom:
            send_to(target, custom);
            break;
        case Reply::none:
        case Reply::close:
            break;
        }
    };
    if (delay > 0)
        QTimer::singleShot(delay, socket, act);
    else
        act();
}

void Sim_server::reply_sent(QWebSocket *socket, Kind kind)
{
    Session *session = session_of(socket);
    if (kind == Kind::send_data && session && session->outstanding > 0)
        --session->outstanding;
}

void Sim_server::schedule_echo(QWebSocket *socket, quint64 eui, const QByteArray &payload)
{
    Modem_state *state = modem_state(eui);
    if (!state)
        return;
    QStringList texts;
    for (const QByteArray &data : answers(*state, payload))
        texts += uplink_texts(*state, data);
    if (texts.isEmpty())
        return;
    QPointer<QWebSocket> target = socket;
    auto deliver = [this, target, texts] {
        if (!target || !session_of(target))
            return;
        for (const QString &text : texts)
            send_to(target, text);
    };
    if (state->modem.echo.delay_ms > 0)
        QTimer::singleShot(state->modem.echo.delay_ms, socket, deliver);
    else
        deliver();
}

// What the modem sends back for a downlink, one packet group each.
QVector<QByteArray> Sim_server::answers(Modem_state &state, const QByteArray &payload)
{
    switch (state.modem.behaviour) {
    case Modem_behaviour::echo:
        return {payload};
    case Modem_behaviour::silent:
        return {};
    case Modem_behaviour::modbus:
        break;
    }
    // The slave executes the request whether or not it answers.
    const QByteArray reply = state.slave->answer(payload);
    if (reply.isEmpty() || state.modem.modbus.mute)
        return {};
    if (!state.modem.modbus.bad_crc)
        return {reply};
    QByteArray corrupt = reply;
    corrupt[corrupt.size() - 1] = char(corrupt.at(corrupt.size() - 1) ^ 0x5A);
    return {corrupt, reply};
}

QStringList Sim_server::uplink_texts(Modem_state &state, const QByteArray &data)
{
    const Echo_options &echo = state.modem.echo;
    QStringList texts;
    for (const QByteArray &piece : split_for_groups(data, echo.packet_size)) {
        const QVector<QByteArray> group = make_uplink_group(piece, echo.packet_size, echo.packet_type);
        if (echo.restart_every > 0 && state.groups_sent > 0 && state.groups_sent % echo.restart_every == 0)
            state.next_fcnt = state.modem.first_fcnt;
        ++state.groups_sent;
        // The modem sends in number order, one counter after the other; the radio may reorder.
        const quint32 first_fcnt = state.next_fcnt;
        state.next_fcnt += quint32(group.size());
        QVector<int> order(group.size());
        std::iota(order.begin(), order.end(), 0);
        if (echo.shuffle && order.size() > 1) {
            std::shuffle(order.begin(), order.end(), shuffler);
            if (std::is_sorted(order.begin(), order.end()))
                std::rotate(order.begin(), order.begin() + 1, order.end());
        }
        const QSet<int> lost = std::exchange(state.lose_next, {});
        for (int index : qAsConst(order)) {
            if (lost.contains(index))
                continue;
            Rx_message rx{state.modem.eui, group.at(index), first_fcnt + quint32(index), echo.port};
            texts.append(rx_text(rx));
            if (echo.duplicate)
                texts.append(rx_text(rx));
            if (echo.repeat_copy) {
                rx.type = QStringLiteral("UNCONF_UP_REPEAT");
                texts.append(rx_text(rx));
            }
        }
    }
    return texts;
}

quint32 Sim_server::next_fcnt(quint64 eui) const
{
    for (const Modem_state &state : modem_list) {
        if (state.modem.eui == eui)
            return state.next_fcnt;
    }
    return 0;
}

bool Sim_server::lose_packet(quint64 eui, int number)
{
    Modem_state *state = modem_state(eui);
    if (state)
        state->lose_next.insert(number);
    return state;
}

bool Sim_server::restart_modem(quint64 eui, quint32 first_fcnt)
{
    Modem_state *state = modem_state(eui);
    if (state)
        state->next_fcnt = first_fcnt;
    return state;
}

void Sim_server::send_to(QWebSocket *socket, const QString &text)
{
    socket->sendTextMessage(text);
    emit text_sent(text);
}

QString Sim_server::eui_on_wire(quint64 eui) const
{
    return fault_set.lowercase_eui ? eui_text(eui).toLower() : eui_text(eui);
}

QString Sim_server::rx_text(const Rx_message &rx) const
{
    QString text = QStringLiteral("{\"cmd\":\"rx\",\"devEui\":\"%1\",\"ack\":false").arg(eui_on_wire(rx.eui));
    if (rx.fcnt)
        text += QStringLiteral(",\"fcnt\":%1").arg(*rx.fcnt);
    text += QStringLiteral(",\"port\":%1,\"data\":\"%2\"").arg(rx.port).arg(QString::fromLatin1(rx.data.toHex()));
    if (!rx.type.isNull())
        text += QStringLiteral(",\"type\":%1").arg(json_string(rx.type));
    text += QStringLiteral(",\"ts\":%1,\"rssi\":-71,\"snr\":7.5,\"freq\":868900000,\"dr\":\"SF7 BW125 4/5\"}")
                .arg(QDateTime::currentMSecsSinceEpoch());
    return text;
}

QString Sim_server::devices_list_text() const
{
    QStringList entries;
    for (const Modem_state &state : modem_list) {
        QString entry = QStringLiteral("{\"devEui\":\"%1\"").arg(eui_on_wire(state.modem.eui));
        if (!state.modem.name.isNull())
            entry += QStringLiteral(",\"devName\":%1").arg(json_string(state.modem.name));
        entry += QStringLiteral(",\"appEui\":\"70B3D5FFFE000001\",\"class\":\"C\",\"fcnt_up\":%1,\"fcnt_down\":0,"
                                "\"position\":{\"lat\":55.7512,\"lon\":37.6184,\"alt\":-1.5e1},\"tags\":[\"sim\",null]}")
                     .arg(state.next_fcnt);
        entries.append(entry);
    }
    return QLatin1Char('[') + entries.join(QLatin1Char(',')) + QLatin1Char(']');
}

Sim_server::Modem_state *Sim_server::modem_state(quint64 eui)
{
    for (Modem_state &state : modem_list) {
        if (state.modem.eui == eui)
            return &state;
    }
    return nullptr;
}
