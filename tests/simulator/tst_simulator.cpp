// The simulated network server, driven through a plain WebSocket client: the protocol it plays,
// its modems and every fault switch, so that end-to-end tests of the program can rely on it.

#include "base/err.h"
#include "base/log.h"
#include "link/link_events.h"
#include "link/link_servers.h"
#include "link/server_protocol.h"
#include "lora_sim/modbus_slave.h"
#include "lora_sim/sim_console.h"
#include "lora_sim/sim_server.h"
#include "lora_sim/tls_files.h"
#include "lora_sim/uplink_packets.h"
#include "shared/shared_state.h"
#include "tcp/packet_group.h"
#include "ws_test_client.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr quint64 echo_eui = 0x0011223344556677ULL;
constexpr quint64 silent_eui = 0x00000000000000ABULL;
constexpr quint64 other_eui = 0xFEDCBA9876543210ULL;

const QString auth_req = QStringLiteral("{\"cmd\":\"auth_req\",\"login\":\"user\",\"password\":\"secret\"}");
const QString devlist_req = QStringLiteral("{\"cmd\":\"get_device_appdata_req\",\"keyword\":\"no_attributes\"}");

QString send_data_req(quint64 eui, const QByteArray &bytes)
{
    return QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"%1\",\"data\":\"04%2\",\"port\":2}]}")
        .arg(eui_text(eui), QString::fromLatin1(bytes.toHex()));
}

Sim_modem modem(quint64 eui, const QString &name, Modem_behaviour behaviour = Modem_behaviour::echo)
{
    Sim_modem m;
    m.eui = eui;
    m.name = name;
    m.behaviour = behaviour;
    return m;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + 3) & 0xFF);
    return bytes;
}

// Joins the packet groups of "rx" messages in the order they complete, leaving out "REPEAT"
// copies and repeated fcnt values, as a careful receiver would.
QList<QByteArray> join_groups(const QList<QJsonObject> &rx)
{
    QList<QByteArray> joined;
    QSet<qint64> seen;
    QMap<int, QByteArray> parts;
    for (const QJsonObject &message : rx) {
        if (message.value("type").toString().contains("REPEAT"))
            continue;
        const qint64 fcnt = message.value("fcnt").toVariant().toLongLong();
        if (seen.contains(fcnt))
            continue;
        seen.insert(fcnt);
        const QByteArray packet = QByteArray::fromHex(message.value("data").toString().toLatin1());
        const int base = quint8(packet.at(0)) == 0x13 ? 1 : 0;
        const int total = quint8(packet.at(1 + base)) | quint8(packet.at(2 + base)) << 8;
        const int size = quint8(packet.at(3 + base));
        const int number = quint8(packet.at(4 + base));
        const int count = quint8(packet.at(5 + base));
        if (packet.size() != 6 + base + size || number >= count)
            return {};
        parts.insert(number, packet.mid(6 + base));
        if (parts.size() == count) {
            QByteArray group;
            for (const QByteArray &part : qAsConst(parts))
                group += part;
            if (group.size() != total)
                return {};
            joined.append(group);
            parts.clear();
        }
    }
    return joined;
}

// Hands the uplink packets the program's reader delivers to the program's own reassembly.
class Reassembling_link : public Link_events, public Modem_uplinks {
public:
    void authorised() override { calls << QStringLiteral("authorised"); }
    void devices_listed(QVector<Server_device> devices) override { reachable_modems.swap(devices); }
    void devices_list_complete() override { calls << QStringLiteral("devices_list_complete"); }
    void command_complete(bool status) override { calls << QStringLiteral("command_complete %1").arg(status); }
    bool in_flight_owner(quint64 &eui) const override
    {
        eui = echo_eui;
        return true;
    }
    bool deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt) override
    {
        if (eui != echo_eui)
            return false;
        QByteArray joined;
        if (group.add(data, has_fcnt, fcnt, joined) == Packet_group::Outcome::complete)
            groups.append(joined);
        return true;
    }

    QStringList calls;
    Packet_group group{echo_eui};
    QList<QByteArray> groups;
};

}  // namespace

class Tst_simulator : public QObject {
    Q_OBJECT

private:
    void log_in(Sim_server &sim, Ws_test_client &client);
    void echo_round(Sim_server &sim, const QByteArray &payload, QList<QJsonObject> *rx);

private slots:
    // happy flows
    void device_list();
    void echo_returns_the_payload_as_a_packet_group_data();
    void echo_returns_the_payload_as_a_packet_group();
    void echo_variations_data();
    void echo_variations();
    void radio_faults();
    void echo_delay_holds_back_the_uplink();
    void early_echo_comes_before_the_reply();
    void silent_modem_never_answers();
    void modbus_slave_data();
    void modbus_slave();
    void injected_messages_reach_authorised_connections();
    void device_list_changes_at_run_time();
    void credentials_are_checked();
    void packet_headers_data();
    void packet_headers();
    void modem_texts_data();
    void modem_texts();
    void modems_file();
    void fault_texts_data();
    void fault_texts();
    void secure_mode();
    void console_commands();
    void program_serves_its_command_line();
    void program_reads_what_the_simulator_writes();

    // rainy-day flows
    void bad_commands_are_caught_data();
    void bad_commands_are_caught();
    void reply_faults_data();
    void reply_faults();
    void fault_applies_only_so_many_times();
    void reply_delay_per_kind();
    void append_status_false_for_one_modem();
    void close_after_messages();
    void close_and_abort_on_demand();
    void stop_listening_and_hang_handshakes();
    void close_code_of_the_client_data();
    void close_code_of_the_client();
    void binary_and_malformed_on_demand();
    void lowercase_euis();
    void outstanding_send_data_is_measured();
};

void Tst_simulator::log_in(Sim_server &sim, Ws_test_client &client)
{
    QTRY_VERIFY(client.connected);
    const int before = client.texts.size();
    client.send(auth_req);
    QTRY_COMPARE(client.texts.size(), before + 1);
    QCOMPARE(client.texts.last(), QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":true}"));
    QCOMPARE(sim.received("auth_req"), 1);
}

void Tst_simulator::echo_round(Sim_server &sim, const QByteArray &payload, QList<QJsonObject> *rx)
{
    Ws_test_client client(sim.url());
    log_in(sim, client);
    if (QTest::currentTestFailed())
        return;
    QSignalSpy downlinks(&sim, &Sim_server::downlink);
    client.send(send_data_req(echo_eui, payload));
    QTRY_VERIFY(!client.with_cmd("send_data_resp").isEmpty());
    QCOMPARE(client.json(1).value("cmd").toString(), QStringLiteral("send_data_resp"));
    QTRY_VERIFY(join_groups(client.with_cmd("rx")).size() == split_for_groups(payload, sim.modems().at(0).echo.packet_size).size());
    *rx = client.with_cmd("rx");
    QCOMPARE(downlinks.size(), 1);
    QCOMPARE(downlinks.at(0).at(0).value<quint64>(), echo_eui);
    QCOMPARE(downlinks.at(0).at(1).toByteArray(), payload);
    QCOMPARE(sim.bad_commands(), 0);
}

void Tst_simulator::device_list()
{
    Sim_server sim;
    sim.add_modem(modem(echo_eui, QStringLiteral("Счётчик \"1\"")));
    sim.add_modem(modem(silent_eui, QString(), Modem_behaviour::silent));
    QVERIFY2(sim.listen(), qPrintable(sim.error_string()));
    QVERIFY(sim.port() != 0);
    QCOMPARE(sim.url(), QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(sim.port())));
    QSignalSpy accepted(&sim, &Sim_server::connection_accepted);

    Ws_test_client client(sim.url());
    log_in(sim, client);
    client.send(devlist_req);
    QTRY_COMPARE(client.texts.size(), 2);
    const QJsonObject reply = client.json(1);
    QCOMPARE(reply.value("cmd").toString(), QStringLiteral("get_device_appdata_resp"));
    QCOMPARE(reply.value("status"), QJsonValue(true));
    const QJsonArray list = reply.value("devices_list").toArray();
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.at(0).toObject().value("devEui").toString(), QStringLiteral("0011223344556677"));
    QCOMPARE(list.at(0).toObject().value("devName").toString(), QStringLiteral("Счётчик \"1\""));
    QVERIFY(list.at(0).toObject().contains("position"));
    QCOMPARE(list.at(1).toObject().value("devEui").toString(), QStringLiteral("00000000000000AB"));
    QVERIFY(!list.at(1).toObject().contains("devName"));

    QCOMPARE(sim.received("get_device_appdata_req"), 1);
    QCOMPARE(sim.bad_commands(), 0);
    QCOMPARE(sim.connections_accepted(), 1);
    QCOMPARE(accepted.size(), 1);
    QCOMPARE(sim.open_connections(), 1);
    QCOMPARE(sim.last_texts(), QStringList({auth_req, devlist_req}));
}

void Tst_simulator::echo_returns_the_payload_as_a_packet_group_data()
{
    QTest::addColumn<int>("packet_type");
    QTest::addColumn<int>("packet_size");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("packets");

    QTest::newRow("one byte") << 0x03 << 40 << 1 << 1;
    QTest::newRow("exact multiple") << 0x03 << 10 << 30 << 3;
    QTest::newRow("short last packet") << 0x13 << 10 << 31 << 4;
    QTest::newRow("nothing after 0x04") << 0x03 << 40 << 0 << 1;
    QTest::newRow("one-byte packets") << 0x13 << 1 << 255 << 255;
    QTest::newRow("two groups") << 0x03 << 10 << 2600 << 260;
}

// The echo answers with the reply first, then the packets in order with fcnt rising by one.
void Tst_simulator::echo_returns_the_payload_as_a_packet_group()
{
    QFETCH(int, packet_type);
    QFETCH(int, packet_size);
    QFETCH(int, length);
    QFETCH(int, packets);
    Sim_server sim;
    Sim_modem m = modem(echo_eui, QStringLiteral("echo"));
    m.echo.packet_type = quint8(packet_type);
    m.echo.packet_size = packet_size;
    m.first_fcnt = 4294967290U;
    sim.add_modem(m);
    QVERIFY(sim.listen());

    const QByteArray payload = pattern(length);
    QList<QJsonObject> rx;
    echo_round(sim, payload, &rx);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(rx.size(), packets);
    const QList<QByteArray> groups = join_groups(rx);
    QCOMPARE(groups.join(), payload);
    quint32 fcnt = m.first_fcnt;
    for (const QJsonObject &message : rx) {
        QCOMPARE(message.value("devEui").toString(), QStringLiteral("0011223344556677"));
        QCOMPARE(message.value("port").toInt(), 2);
        QCOMPARE(message.value("type").toString(), QStringLiteral("UNCONF_UP"));
        QCOMPARE(quint32(message.value("fcnt").toVariant().toLongLong()), fcnt++);
        QCOMPARE(QByteArray::fromHex(message.value("data").toString().toLatin1()).at(0), char(packet_type));
    }
}

void Tst_simulator::echo_variations_data()
{
    QTest::addColumn<bool>("shuffle");
    QTest::addColumn<bool>("duplicate");
    QTest::addColumn<bool>("repeat_copy");
    QTest::addColumn<int>("port");

    QTest::newRow("shuffled") << true << false << false << 2;
    QTest::newRow("duplicated") << false << true << false << 2;
    QTest::newRow("repeat copies") << false << false << true << 2;
    QTest::newRow("everything at once") << true << true << true << 2;
    QTest::newRow("other port") << false << false << false << 3;
}

void Tst_simulator::echo_variations()
{
    QFETCH(bool, shuffle);
    QFETCH(bool, duplicate);
    QFETCH(bool, repeat_copy);
    QFETCH(int, port);
    Sim_server sim;
    Sim_modem m = modem(echo_eui, QStringLiteral("echo"));
    m.echo.packet_size = 5;
    m.echo.shuffle = shuffle;
    m.echo.duplicate = duplicate;
    m.echo.repeat_copy = repeat_copy;
    m.echo.port = port;
    sim.add_modem(m);
    QVERIFY(sim.listen());

    const QByteArray payload = pattern(40);
    QList<QJsonObject> rx;
    echo_round(sim, payload, &rx);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(join_groups(rx), QList<QByteArray>{payload});
    QCOMPARE(rx.size(), 8 * (1 + int(duplicate) + int(repeat_copy)));

    // Whatever the order of arrival, each packet keeps the counter it was sent with (rising with
    // its number), and every copy of it (duplicate or REPEAT) carries that same counter.
    QList<int> numbers;
    QMap<qint64, int> deliveries;
    const qint64 first_fcnt = m.first_fcnt;
    for (const QJsonObject &message : rx) {
        QCOMPARE(message.value("port").toInt(), port);
        const qint64 fcnt = message.value("fcnt").toVariant().toLongLong();
        ++deliveries[fcnt];
        const QByteArray packet = QByteArray::fromHex(message.value("data").toString().toLatin1());
        QCOMPARE(fcnt - first_fcnt, qint64(quint8(packet.at(4))));
        if (message.value("type").toString().contains("REPEAT")) {
            QCOMPARE(message.value("type").toString(), QStringLiteral("UNCONF_UP_REPEAT"));
            continue;
        }
        if (deliveries[fcnt] == 1)
            numbers.append(quint8(packet.at(4)));
    }
    QCOMPARE(numbers.size(), 8);
    QCOMPARE(std::is_sorted(numbers.begin(), numbers.end()), !shuffle);
    QCOMPARE(deliveries.size(), 8);
    const int copies = 1 + int(duplicate) + int(repeat_copy);
    QCOMPARE(int(std::count(deliveries.cbegin(), deliveries.cend(), copies)), 8);
}

// A packet lost on the radio spends its counter; a restarted modem counts from the start again.
void Tst_simulator::radio_faults()
{
    Sim_server sim;
    Sim_modem m = modem(echo_eui, QStringLiteral("echo"));
    m.echo.packet_size = 5;
    m.first_fcnt = 7;
    sim.add_modem(m);
    QVERIFY(!sim.lose_packet(other_eui, 0));
    QVERIFY(!sim.restart_modem(other_eui));
    QVERIFY(sim.lose_packet(echo_eui, 1));
    QVERIFY(sim.lose_packet(echo_eui, 3));
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    log_in(sim, client);
    if (QTest::currentTestFailed())
        return;
    const auto fcnt_and_number = [&client](int i) {
        const QJsonObject rx = client.with_cmd("rx").at(i);
        const QByteArray packet = QByteArray::fromHex(rx.value("data").toString().toLatin1());
        return std::make_pair(rx.value("fcnt").toInt(), int(quint8(packet.at(4))));
    };
    QCOMPARE(sim.send_uplink(echo_eui, pattern(20)), 1);
    QTRY_COMPARE(client.with_cmd("rx").size(), 2);
    QCOMPARE(fcnt_and_number(0), std::make_pair(7, 0));
    QCOMPARE(fcnt_and_number(1), std::make_pair(9, 2));

    // Only the next group loses packets.
    QCOMPARE(sim.send_uplink(echo_eui, pattern(20)), 1);
    QTRY_COMPARE(client.with_cmd("rx").size(), 6);
    QCOMPARE(fcnt_and_number(2), std::make_pair(11, 0));

    QVERIFY(sim.restart_modem(echo_eui, 3));
    QCOMPARE(sim.send_uplink(echo_eui, pattern(5)), 1);
    QTRY_COMPARE(client.with_cmd("rx").size(), 7);
    QCOMPARE(fcnt_and_number(6), std::make_pair(3, 0));

    // The same faults from the console and as modem options.
    QCOMPARE(execute_console_command(sim, QStringLiteral("lose %1 0").arg(eui_text(echo_eui))), QStringLiteral("ok"));
    QCOMPARE(execute_console_command(sim, QStringLiteral("restart %1 40").arg(eui_text(echo_eui))),
             QStringLiteral("ok"));
    QVERIFY(execute_console_command(sim, QStringLiteral("lose %1 0").arg(eui_text(other_eui))).startsWith("error"));
    QVERIFY(execute_console_command(sim, QStringLiteral("restart %1 x").arg(eui_text(echo_eui))).startsWith("error"));
    QCOMPARE(sim.send_uplink(echo_eui, pattern(10)), 1);
    QTRY_COMPARE(client.with_cmd("rx").size(), 8);
    QCOMPARE(fcnt_and_number(7), std::make_pair(41, 1));
    QString error;
    const auto parsed = parse_modem(QStringLiteral("0011223344556677:m:echo,lose=2,restart=3"), &error);
    QVERIFY2(parsed, qPrintable(error));
    QCOMPARE(parsed->echo.lose, 2);
    QCOMPARE(parsed->echo.restart_every, 3);
    QVERIFY(!parse_modem(QStringLiteral("0011223344556677:m:echo,restart=0"), &error));
}

void Tst_simulator::echo_delay_holds_back_the_uplink()
{
    Sim_server sim;
    Sim_modem m = modem(echo_eui, QStringLiteral("echo"));
    m.echo.delay_ms = 600;
    sim.add_modem(m);
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    log_in(sim, client);
    QElapsedTimer since_request;
    since_request.start();
    client.send(send_data_req(echo_eui, "abc"));
    QTRY_COMPARE(client.with_cmd("rx").size(), 1);
    // The delay began once the request had come: here it cannot have ended sooner.
    QVERIFY2(since_request.elapsed() >= 600, qPrintable(QString::number(since_request.elapsed())));
    QCOMPARE(client.json(1).value("cmd").toString(), QStringLiteral("send_data_resp"));
    QCOMPARE(join_groups(client.with_cmd("rx")), QList<QByteArray>{"abc"});
}

void Tst_simulator::early_echo_comes_before_the_reply()
{
    Sim_server sim;
    Sim_modem m = modem(echo_eui, QStringLiteral("echo"));
    m.echo.early = true;
    m.echo.packet_size = 2;
    sim.add_modem(m);
    sim.faults().send_data.delay_ms = 200;
    QVERIFY(sim.listen());
    QSignalSpy downlinks(&sim, &Sim_server::downlink);
    Ws_test_client client(sim.url());
    log_in(sim, client);
    client.send(send_data_req(echo_eui, "abc"));
    QTRY_COMPARE(client.texts.size(), 1 + 2 + 1);
    QCOMPARE(join_groups({client.json(1), client.json(2)}), QList<QByteArray>{"abc"});
    QCOMPARE(client.json(3).value("cmd").toString(), QStringLiteral("send_data_resp"));
    QCOMPARE(downlinks.size(), 1);
}

void Tst_simulator::silent_modem_never_answers()
{
    Sim_server sim;
    sim.add_modem(modem(silent_eui, QStringLiteral("quiet"), Modem_behaviour::silent));
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    log_in(sim, client);
    client.send(send_data_req(silent_eui, "abc"));
    QTRY_COMPARE(client.texts.size(), 2);
    QCOMPARE(client.texts.at(1), QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":true,\"append_status\":[{\"devEui\":"
                                                "\"00000000000000AB\",\"status\":true}]}"));
    QVERIFY(client.caught_up());
    QCOMPARE(client.texts.size(), 2);
}

// Requests and replies are "unit pdu" in hexadecimal, the CRC added; a leading '!' marks a bad CRC.
void Tst_simulator::modbus_slave_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QStringList>("replies");

    QTest::newRow("read") << "" << QStringList{"0103 0000 0002"} << QStringList{"0103 04 0000 0000"};
    QTest::newRow("write single, read back") << "" << QStringList{"0106 0005 1234", "0103 0004 0003"}
                                             << QStringList{"0106 0005 1234", "0103 06 0000 1234 0000"};
    QTest::newRow("write multiple up to the last register")
        << ",registers=10" << QStringList{"0110 0007 0003 06 aaaa bbbb cccc", "0103 0006 0004"}
        << QStringList{"0110 0007 0003", "0103 08 0000 aaaa bbbb cccc"};
    QTest::newRow("illegal function") << "" << QStringList{"0104 0000 0001", "0101 0000 0001"} << QStringList{"018401", "018101"};
    QTest::newRow("illegal address")
        << ",registers=10" << QStringList{"0103 0009 0002", "0106 000a 0001", "0110 0008 0003 06 000100020003", "0103 0009 0001"}
        << QStringList{"018302", "018602", "019002", "0103 02 0000"};
    QTest::newRow("illegal value")
        << "" << QStringList{"0103 0000 007e", "0103 0000 0000", "0110 0000 0002 03 000100", "0110 0000 0002 04 0001", "0106 00"}
        << QStringList{"018303", "018303", "019003", "019003", "018603"};
    QTest::newRow("bad CRC ignored") << "" << QStringList{"!0106 0000 0001", "0103 0000 0001"} << QStringList{"0103 02 0000"};
    QTest::newRow("other unit ignored") << ",unit=7" << QStringList{"0106 0000 0001", "0703 0000 0001"}
                                        << QStringList{"0703 02 0000"};
    QTest::newRow("broadcast executed, unanswered")
        << "" << QStringList{"0006 0002 0007", "0010 0003 0001 02 0009", "0003 0000 0001", "0004 0000 0001", "0103 0002 0002"}
        << QStringList{"0103 04 0007 0009"};
    QTest::newRow("bad-CRC copy first") << ",badcrc,size=3" << QStringList{"0106 0001 0002"}
                                        << QStringList{"!0106 0001 0002", "0106 0001 0002"};
    QTest::newRow("mute") << ",mute" << QStringList{"0106 0000 0001", "0103 0000 0001"} << QStringList{};
}

void Tst_simulator::modbus_slave()
{
    QFETCH(QString, options);
    QFETCH(QStringList, requests);
    QFETCH(QStringList, replies);
    // The CRC of a frame known from elsewhere, low byte first.
    QCOMPARE(slave_rtu_frame(1, QByteArray::fromHex("0300 00000a")), QByteArray::fromHex("0103 0000 000a c5cd"));
    const auto body = [](const QString &hex) { return QByteArray::fromHex(hex.mid(hex.startsWith('!')).toLatin1()); };
    QString error;
    const auto m = parse_modem(QStringLiteral("0011223344556677:plc:modbus") + options, &error);
    QVERIFY2(m, qPrintable(error));
    Sim_server sim;
    sim.add_modem(*m);
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    log_in(sim, client);
    if (QTest::currentTestFailed())
        return;
    for (const QString &request : requests) {
        QByteArray frame = slave_rtu_frame(quint8(body(request).at(0)), body(request).mid(1));
        if (request.startsWith('!'))
            frame[frame.size() - 2] = char(frame.at(frame.size() - 2) ^ 0x01);
        client.send(send_data_req(echo_eui, frame));
    }
    // A reply goes out right after its send_data_resp: once all of those have come and a ping is
    // answered, nothing more is on its way.
    QTRY_COMPARE(client.with_cmd("send_data_resp").size(), requests.size());
    QVERIFY(client.caught_up());
    const QList<QByteArray> got = join_groups(client.with_cmd("rx"));
    QCOMPARE(got.size(), replies.size());
    for (int i = 0; i < replies.size(); ++i) {
        const QByteArray good = slave_rtu_frame(quint8(body(replies.at(i)).at(0)), body(replies.at(i)).mid(1));
        if (!replies.at(i).startsWith('!')) {
            QCOMPARE(got.at(i).toHex(' '), good.toHex(' '));
            continue;
        }
        QCOMPARE(got.at(i).size(), good.size());
        QCOMPARE(got.at(i).chopped(2), good.chopped(2));
        QVERIFY(got.at(i).right(2) != good.right(2));
    }
    QCOMPARE(sim.bad_commands(), 0);
}

void Tst_simulator::injected_messages_reach_authorised_connections()
{
    Sim_server sim;
    Sim_modem m = modem(echo_eui, QStringLiteral("echo"));
    m.echo.packet_size = 2;
    m.first_fcnt = 10;
    sim.add_modem(m);
    QVERIFY(sim.listen());
    Ws_test_client stranger(sim.url());
    QTRY_VERIFY(stranger.connected);
    Ws_test_client client(sim.url());
    log_in(sim, client);

    Rx_message bare;
    bare.eui = other_eui;
    bare.data = QByteArray::fromHex("030100");
    bare.port = 300;
    bare.type = QString();
    QCOMPARE(sim.send_rx(bare), 1);
    Rx_message full;
    full.eui = echo_eui;
    full.data = QByteArray::fromHex("ABcd");
    full.fcnt = 77;
    full.type = QStringLiteral("CONF_UP");
    QCOMPARE(sim.send_rx(full), 1);
    QCOMPARE(sim.send_uplink(echo_eui, "hello"), 1);
    QCOMPARE(sim.send_uplink(other_eui, "nobody"), 0);
    QCOMPARE(sim.send_text(QStringLiteral("{\"cmd\":\"console\"}")), 2);
    QTRY_COMPARE(client.texts.size(), 1 + 2 + 3 + 1);

    const QJsonObject first = client.json(1);
    QCOMPARE(first.value("cmd").toString(), QStringLiteral("rx"));
    QCOMPARE(first.value("devEui").toString(), QStringLiteral("FEDCBA9876543210"));
    QCOMPARE(first.value("port").toInt(), 300);
    QCOMPARE(first.value("data").toString(), QStringLiteral("030100"));
    QVERIFY(!first.contains("fcnt"));
    QVERIFY(!first.contains("type"));
    const QJsonObject second = client.json(2);
    QCOMPARE(second.value("data").toString(), QStringLiteral("abcd"));
    QCOMPARE(second.value("fcnt").toInt(), 77);
    QCOMPARE(second.value("type").toString(), QStringLiteral("CONF_UP"));
    QCOMPARE(join_groups({client.json(3), client.json(4), client.json(5)}), QList<QByteArray>{"hello"});
    QCOMPARE(client.json(3).value("fcnt").toInt(), 10);
    QCOMPARE(client.texts.last(), QStringLiteral("{\"cmd\":\"console\"}"));
    QTRY_COMPARE(stranger.texts, QStringList{QStringLiteral("{\"cmd\":\"console\"}")});
}

void Tst_simulator::device_list_changes_at_run_time()
{
    Sim_server sim;
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    log_in(sim, client);
    client.send(devlist_req);
    QTRY_COMPARE(client.texts.size(), 2);
    QCOMPARE(client.json(1).value("devices_list").toArray().size(), 0);

    sim.add_modem(modem(echo_eui, QStringLiteral("first")));
    sim.add_modem(modem(other_eui, QStringLiteral("other")));
    sim.add_modem(modem(echo_eui, QStringLiteral("second")));
    client.send(devlist_req);
    QTRY_COMPARE(client.texts.size(), 3);
    QJsonArray list = client.json(2).value("devices_list").toArray();
    QCOMPARE(list.size(), 3);
    QCOMPARE(list.at(2).toObject().value("devName").toString(), QStringLiteral("second"));

    QCOMPARE(sim.remove_modem(echo_eui), 2);
    QCOMPARE(sim.remove_modem(echo_eui), 0);
    client.send(devlist_req);
    QTRY_COMPARE(client.texts.size(), 4);
    list = client.json(3).value("devices_list").toArray();
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).toObject().value("devEui").toString(), QStringLiteral("FEDCBA9876543210"));

    // A removed modem is unknown to the server: its downlinks are not appended.
    client.send(send_data_req(echo_eui, "x"));
    QTRY_COMPARE(client.texts.size(), 5);
    QCOMPARE(client.json(4).value("append_status").toArray().at(0).toObject().value("status"), QJsonValue(false));
    QCOMPARE(sim.bad_commands(), 0);
}

void Tst_simulator::credentials_are_checked()
{
    Sim_server sim;
    sim.set_credentials(QStringLiteral("user"), QStringLiteral("secret"));
    QVERIFY(sim.listen());
    Ws_test_client wrong(sim.url());
    QTRY_VERIFY(wrong.connected);
    wrong.send(QStringLiteral("{\"cmd\":\"auth_req\",\"login\":\"user\",\"password\":\"guess\"}"));
    QTRY_COMPARE(wrong.texts.size(), 1);
    QCOMPARE(wrong.json(0).value("status"), QJsonValue(false));
    QVERIFY(!wrong.json(0).value("err_string").toString().isEmpty());
    // Still not authorised: a device list request is refused and counted.
    wrong.send(devlist_req);
    QTRY_COMPARE(wrong.texts.size(), 2);
    QCOMPARE(wrong.json(1).value("status"), QJsonValue(false));
    QCOMPARE(sim.bad_commands(), 1);

    Ws_test_client right(QUrl(sim.url().toString() + QStringLiteral("/api")));
    QTRY_VERIFY(right.connected);
    right.send(auth_req);
    QTRY_COMPARE(right.texts.size(), 1);
    QCOMPARE(right.json(0).value("status"), QJsonValue(true));
}

void Tst_simulator::packet_headers_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("packet_size");
    QTest::addColumn<QByteArrayList>("expected");

    QTest::newRow("type 03") << 0x03 << QByteArray("abc") << 2
                             << QByteArrayList{QByteArray::fromHex("0303000200026162"), QByteArray::fromHex("03030001010263")};
    QTest::newRow("type 13") << 0x13 << QByteArray("abc") << 3 << QByteArrayList{QByteArray::fromHex("1300030003000161626" "3")};
    QTest::newRow("empty") << 0x03 << QByteArray() << 40 << QByteArrayList{QByteArray::fromHex("030000000001")};
    QTest::newRow("size little-endian") << 0x03 << pattern(300).left(258) << 255
                                        << QByteArrayList{QByteArray::fromHex("030201ff0002") + pattern(255),
                                                          QByteArray::fromHex("030201030102") + pattern(258).mid(255)};
    QTest::newRow("too many packets") << 0x03 << pattern(256) << 1 << QByteArrayList{};
}

void Tst_simulator::packet_headers()
{
    QFETCH(int, type);
    QFETCH(QByteArray, data);
    QFETCH(int, packet_size);
    QFETCH(QByteArrayList, expected);
    QCOMPARE(QByteArrayList(make_uplink_group(data, packet_size, quint8(type)).toList()), expected);
}

void Tst_simulator::modem_texts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("options");

    QTest::newRow("plain echo") << "0011223344556677:Meter 1:echo" << true << "Meter 1" << "echo 40 3 ---- 0 2 1";
    QTest::newRow("colons in the name") << "0011223344556677:a:b:silent" << true << "a:b" << "silent 40 3 ---- 0 2 1";
    QTest::newRow("no name") << "00112233445566aa::echo" << true << QString() << "echo 40 3 ---- 0 2 1";
    QTest::newRow("all options") << "0011223344556677:m:echo,size=7,type=13,shuffle,dup,repeat,early,delay=50,port=5,fcnt=9"
                                 << true << "m" << "echo 7 19 sdre 50 5 9";
    QTest::newRow("modbus") << "0011223344556677:m:modbus,unit=247,registers=65536,badcrc,mute,size=3" << true << "m"
                            << "modbus 3 3 ---- 0 2 1";
    QTest::newRow("unit 0") << "0011223344556677:m:modbus,unit=0" << false << QString() << QString();
    QTest::newRow("unit 248") << "0011223344556677:m:modbus,unit=248" << false << QString() << QString();
    QTest::newRow("no registers") << "0011223344556677:m:modbus,registers=0" << false << QString() << QString();
    QTest::newRow("short EUI") << "11223344556677:m:echo" << false << QString() << QString();
    QTest::newRow("bad digit") << "001122334455667g:m:echo" << false << QString() << QString();
    QTest::newRow("no behaviour") << "0011223344556677:m" << false << QString() << QString();
    QTest::newRow("unknown behaviour") << "0011223344556677:m:chatty" << false << QString() << QString();
    QTest::newRow("size too big") << "0011223344556677:m:echo,size=256" << false << QString() << QString();
    QTest::newRow("bad type") << "0011223344556677:m:echo,type=23" << false << QString() << QString();
    QTest::newRow("unknown option") << "0011223344556677:m:echo,loud" << false << QString() << QString();
}

void Tst_simulator::modem_texts()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, name);
    QFETCH(QString, options);
    QString error;
    const auto parsed = parse_modem(text, &error);
    QCOMPARE(bool(parsed), valid);
    if (!valid) {
        QVERIFY(error.contains(text));
        return;
    }
    QCOMPARE(eui_text(parsed->eui), text.left(16).toUpper());
    QCOMPARE(parsed->name, name);
    QCOMPARE(parsed->name.isNull(), name.isNull());
    const Echo_options &e = parsed->echo;
    const QString flags = QStringLiteral("%1%2%3%4").arg(e.shuffle ? "s" : "-", e.duplicate ? "d" : "-",
                                                         e.repeat_copy ? "r" : "-", e.early ? "e" : "-");
    QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                 .arg(behaviour_name(parsed->behaviour))
                 .arg(e.packet_size)
                 .arg(int(e.packet_type))
                 .arg(flags)
                 .arg(e.delay_ms)
                 .arg(e.port)
                 .arg(parsed->first_fcnt),
             options);
}

void Tst_simulator::modems_file()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath("modems.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("# two modems\n0011223344556677:Счётчик:echo,size=8\n\n  00000000000000AB:quiet:silent  \n");
    file.close();
    QString error;
    const auto modems = read_modems_file(file.fileName(), &error);
    QVERIFY2(modems, qPrintable(error));
    QCOMPARE(modems->size(), 2);
    QCOMPARE(modems->at(0).name, QStringLiteral("Счётчик"));
    QCOMPARE(modems->at(1).eui, silent_eui);

    QVERIFY(file.open(QIODevice::Append));
    file.write("0011223344556677:bad\n");
    file.close();
    QVERIFY(!read_modems_file(file.fileName(), &error));
    QVERIFY2(error.contains(":5:"), qPrintable(error));
    QVERIFY(!read_modems_file(dir.filePath("missing.txt"), &error));
}

void Tst_simulator::fault_texts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("reply");
    QTest::addColumn<int>("delay");
    QTest::addColumn<int>("times");

    QTest::newRow("mode only") << "none" << true << int(Reply::none) << 0 << -1;
    QTest::newRow("delay") << "normal:500" << true << int(Reply::normal) << 500 << -1;
    QTest::newRow("delay and times") << "close:0:2" << true << int(Reply::close) << 0 << 2;
    QTest::newRow("every mode") << "incomplete" << true << int(Reply::incomplete) << 0 << -1;
    QTest::newRow("binary") << "binary:1" << true << int(Reply::binary) << 1 << -1;
    QTest::newRow("unknown mode") << "sulk" << false << 0 << 0 << 0;
    QTest::newRow("custom needs a text") << "custom" << false << 0 << 0 << 0;
    QTest::newRow("negative delay") << "reject:-1" << false << 0 << 0 << 0;
    QTest::newRow("too many parts") << "reject:1:1:1" << false << 0 << 0 << 0;
    QTest::newRow("not a number") << "malformed:soon" << false << 0 << 0 << 0;
}

void Tst_simulator::fault_texts()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const auto fault = parse_reply_fault(text);
    QCOMPARE(bool(fault), valid);
    if (!valid)
        return;
    QTEST(int(fault->reply), "reply");
    QTEST(fault->delay_ms, "delay");
    QTEST(fault->times, "times");
}

void Tst_simulator::secure_mode()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS support in this build of the toolkit");
    QString error;
    const auto tls = load_tls_configuration(QUVO_TEST_DATA "/server.crt", QUVO_TEST_DATA "/server.key", &error);
    QVERIFY2(tls, qPrintable(error));
    QVERIFY(!load_tls_configuration(QUVO_TEST_DATA "/server.crt", QUVO_TEST_DATA "/server.crt", &error));
    QVERIFY(!load_tls_configuration(QUVO_TEST_DATA "/missing.crt", QUVO_TEST_DATA "/server.key", &error));

    Sim_server sim;
    sim.add_modem(modem(echo_eui, QStringLiteral("echo")));
    QVERIFY2(sim.listen_secure(*tls), qPrintable(sim.error_string()));
    QCOMPARE(sim.url().scheme(), QStringLiteral("wss"));
    Ws_test_client client(sim.url(), true);
    log_in(sim, client);
    QCOMPARE(client.socket.sslConfiguration().peerCertificate(), tls->localCertificate());
    client.send(send_data_req(echo_eui, "secure"));
    QTRY_COMPARE(join_groups(client.with_cmd("rx")), QList<QByteArray>{"secure"});

    // A client that trusts nothing does not get through.
    Ws_test_client wary(sim.url());
    QTRY_VERIFY(wary.failed);
    QVERIFY(!wary.connected);
}

// The commands a trial types into the running program act on the server as they say.
void Tst_simulator::console_commands()
{
    Sim_server sim;
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    log_in(sim, client);
    const auto run = [&sim](const char *line) { return execute_console_command(sim, QString::fromUtf8(line)); };

    QCOMPARE(run("add 0011223344556677:Meter 1:echo,size=2"), QStringLiteral("ok"));
    QCOMPARE(run("add 00000000000000AB::silent"), QStringLiteral("ok"));
    QCOMPARE(run("add 00000000000000AC:plc:modbus,unit=3"), QStringLiteral("ok"));
    QCOMPARE(run("list"), QStringLiteral("0011223344556677 echo Meter 1\n00000000000000AB silent \n00000000000000AC modbus plc"));
    QCOMPARE(run("remove 00000000000000ab"), QStringLiteral("removed 1"));
    QCOMPARE(run("remove 00000000000000ac"), QStringLiteral("removed 1"));
    QCOMPARE(run("rx 0011223344556677 0301 - 3 UNCONF_UP REPEAT"), QStringLiteral("sent to 1 connection(s)"));
    QCOMPARE(run("rx 0011223344556677 03 9"), QStringLiteral("sent to 1 connection(s)"));
    QCOMPARE(run("uplink 0011223344556677 414243"), QStringLiteral("sent to 1 connection(s)"));
    QCOMPARE(run("text {\"cmd\":\"x\"}"), QStringLiteral("sent to 1 connection(s)"));
    QCOMPARE(run("binary 00ff"), QStringLiteral("sent to 1 connection(s)"));
    QTRY_COMPARE(client.texts.size(), 1 + 2 + 2 + 1);
    QCOMPARE(client.json(1).value("type").toString(), QStringLiteral("UNCONF_UP REPEAT"));
    QCOMPARE(client.json(1).value("port").toInt(), 3);
    QVERIFY(!client.json(1).contains("fcnt"));
    QCOMPARE(client.json(2).value("fcnt").toInt(), 9);
    QCOMPARE(join_groups({client.json(3), client.json(4)}), QList<QByteArray>{"ABC"});
    QCOMPARE(client.texts.last(), QStringLiteral("{\"cmd\":\"x\"}"));
    QTRY_COMPARE(client.binaries, QList<QByteArray>{QByteArray::fromHex("00ff")});

    QCOMPARE(run("fault send-data reject:0:1"), QStringLiteral("ok"));
    QCOMPARE(sim.faults().send_data.reply, Reply::reject);
    QCOMPARE(sim.faults().send_data.times, 1);
    QCOMPARE(run("append-false 0011223344556677 on"), QStringLiteral("ok"));
    QVERIFY(sim.faults().append_false.contains(echo_eui));
    QCOMPARE(run("append-false 0011223344556677 off"), QStringLiteral("ok"));
    QVERIFY(sim.faults().append_false.isEmpty());
    QCOMPARE(run("close-after 4"), QStringLiteral("ok"));
    QCOMPARE(sim.faults().close_after, 4);
    QCOMPARE(run("err-string Нет доступа"), QStringLiteral("ok"));
    QCOMPARE(sim.faults().err_string, QStringLiteral("Нет доступа"));
    QCOMPARE(run("err-string"), QStringLiteral("ok"));
    QVERIFY(sim.faults().err_string.isEmpty());
    QVERIFY(run("stats").contains("auth_req received: 1"));

    for (const char *bad : {"rx 0011223344556677 0", "rx 00112233 00", "remove", "fault auth sulk", "fault link none",
                            "append-false 0011223344556677 maybe", "close-after -1", "add nonsense", "binary 0",
                            "uplink 0011223344556677 zz", "dance"})
        QVERIFY2(run(bad).startsWith("error:"), bad);
    QVERIFY(run("help").contains("fault auth|devlist|send-data"));

    QCOMPARE(run("close"), QStringLiteral("1 connection(s)"));
    QTRY_VERIFY(client.disconnected);
    QTRY_COMPARE(sim.open_connections(), 0);
}

void Tst_simulator::program_serves_its_command_line()
{
    QProcess program;
    program.start(QStringLiteral(QUVO_SIMULATOR),
                  {"--modem", "0011223344556677:Meter 1:echo,size=2", "--devlist", "reject", "--err-string", "busy", "-v"});
    QVERIFY(program.waitForStarted(5000));
    QTRY_VERIFY(program.canReadLine());
    const QString first = QString::fromUtf8(program.readLine()).trimmed();
    QVERIFY2(first.startsWith("listening ws://127.0.0.1:"), qPrintable(first));
    {
        Ws_test_client client(QUrl(first.mid(10)));
        QTRY_VERIFY(client.connected);
        client.send(auth_req);
        QTRY_COMPARE(client.texts.size(), 1);
        client.send(devlist_req);
        QTRY_COMPARE(client.texts.size(), 2);
        QCOMPARE(client.texts.at(1),
                 QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":false,\"err_string\":\"busy\"}"));
        client.send(send_data_req(echo_eui, "hi"));
        QTRY_COMPARE(client.texts.size(), 4);
    }
    QByteArray output;
    QTRY_VERIFY((output += program.readAll()).contains("<- " + send_data_req(echo_eui, "hi").toUtf8()));
    program.write("stats\n");
    QTRY_VERIFY((output += program.readAll()).contains("send_data_req received: 1\n"));
    program.kill();
    QVERIFY(program.waitForFinished(5000));

    QProcess bad;
    bad.start(QStringLiteral(QUVO_SIMULATOR), {"--modem", "nonsense"});
    QVERIFY(bad.waitForFinished(5000));
    QCOMPARE(bad.exitCode(), 2);
    QVERIFY(bad.readAllStandardError().contains("nonsense"));
}

// The program's reader and reassembly accept every kind of message the simulator writes.
void Tst_simulator::program_reads_what_the_simulator_writes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    set_log_file_name(QFile::encodeName(dir.filePath("program.log")));
    reset_shared_state();
    Sim_server sim;
    Sim_modem m = modem(echo_eui, QStringLiteral("Счётчик «1» \\ \"x\""));
    m.echo.packet_type = 0x13;
    m.echo.packet_size = 7;
    m.echo.shuffle = true;
    m.echo.duplicate = true;
    m.echo.repeat_copy = true;
    sim.add_modem(m);
    sim.add_modem(modem(other_eui, QString()));
    sim.faults().lowercase_eui = true;
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    log_in(sim, client);
    client.send(devlist_req);
    const QByteArray payload = pattern(100);
    client.send(send_data_req(echo_eui, payload));
    QTRY_COMPARE(join_groups(client.with_cmd("rx")), QList<QByteArray>{payload});

    Reassembling_link link;
    Server_protocol protocol(link, link);
    try {
        protocol.read(client.texts.at(0), &Server_protocol::handle_auth_resp);
        protocol.read(client.texts.at(1), &Server_protocol::handle_devlist_resp);
        protocol.read(client.texts.at(2), &Server_protocol::handle_send_data_resp);
        for (const QString &text : client.texts.mid(3))
            protocol.read(text, &Server_protocol::handle_unsolicited);
    } catch (const Err &e) {
        QFAIL(qPrintable(e.message()));
    }
    QCOMPARE(link.calls, QStringList({"authorised", "devices_list_complete", "command_complete 1"}));
    QCOMPARE(reachable_modems.size(), 2);
    QCOMPARE(reachable_modems.at(0).eui, echo_eui);
    QCOMPARE(reachable_modems.at(0).name, m.name);
    QVERIFY(reachable_modems.at(1).name.isEmpty());
    QCOMPARE(link.groups, QList<QByteArray>{payload});
    reset_shared_state();
    reset_log_file_name();
}

void Tst_simulator::bad_commands_are_caught_data()
{
    QTest::addColumn<bool>("authorise");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reason");

    const QString eui = QStringLiteral("0011223344556677");
    QTest::newRow("not JSON") << true << "{\"cmd\":\"send_data_req\"" << "not valid JSON";
    QTest::newRow("not an object") << true << "[1,2]" << "not a JSON object";
    QTest::newRow("unknown command") << true << "{\"cmd\":\"reboot\"}" << "unknown command";
    QTest::newRow("no cmd") << true << "{\"login\":\"x\"}" << "unknown command";
    QTest::newRow("auth with a number") << false << "{\"cmd\":\"auth_req\",\"login\":1,\"password\":\"p\"}" << "auth_req needs";
    QTest::newRow("auth with an extra field") << false << "{\"cmd\":\"auth_req\",\"login\":\"l\",\"password\":\"p\",\"x\":1}"
                                              << "auth_req needs";
    QTest::newRow("list without keyword") << true << "{\"cmd\":\"get_device_appdata_req\"}" << "without \"keyword\"";
    QTest::newRow("list with blanks") << true << "{\"cmd\": \"get_device_appdata_req\", \"keyword\": \"no_attributes\"}"
                                      << "differs from its template";
    QTest::newRow("list before auth") << false << devlist_req << "before a successful auth_req";
    QTest::newRow("data before auth") << false << send_data_req(echo_eui, "a") << "before a successful auth_req";
    QTest::newRow("two entries")
        << true
        << QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"%1\",\"data\":\"0401\",\"port\":2},"
                          "{\"devEui\":\"%1\",\"data\":\"0402\",\"port\":2}]}").arg(eui)
        << "exactly one entry";
    QTest::newRow("empty list") << true << "{\"cmd\":\"send_data_req\",\"data_list\":[]}" << "exactly one entry";
    QTest::newRow("missing port") << true
                                  << QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"%1\",\"data\":\"0401\"}]}").arg(eui)
                                  << "exactly devEui, data and port";
    QTest::newRow("lowercase EUI") << true << send_data_req(echo_eui, "a").replace("0011223344556677", "00112233445566aa")
                                   << "16 uppercase";
    QTest::newRow("short EUI") << true << send_data_req(echo_eui, "a").replace("0011223344556677", "11223344556677")
                               << "16 uppercase";
    QTest::newRow("uppercase data") << true << send_data_req(echo_eui, "\xAB").replace("04ab", "04AB") << "lowercase hexadecimal";
    QTest::newRow("odd data") << true << send_data_req(echo_eui, "\xAB").replace("04ab", "04a") << "lowercase hexadecimal";
    QTest::newRow("no 04") << true << send_data_req(echo_eui, "\xAB").replace("04ab", "05ab") << "lowercase hexadecimal";
    QTest::newRow("port 3") << true << send_data_req(echo_eui, "a").replace("\"port\":2", "\"port\":3") << "the number 2";
    QTest::newRow("port as text") << true << send_data_req(echo_eui, "a").replace("\"port\":2", "\"port\":\"2\"")
                                  << "the number 2";
    QTest::newRow("reordered fields")
        << true << QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"data\":\"0461\",\"devEui\":\"%1\",\"port\":2}]}").arg(eui)
        << "differs from its template";
}

// Every deviation from the command templates is counted once, with a reason, and refused.
void Tst_simulator::bad_commands_are_caught()
{
    QFETCH(bool, authorise);
    QFETCH(QString, text);
    QFETCH(QString, reason);
    Sim_server sim;
    sim.add_modem(modem(echo_eui, QStringLiteral("echo")));
    QVERIFY(sim.listen());
    QSignalSpy bad(&sim, &Sim_server::bad_command);
    Ws_test_client client(sim.url());
    if (authorise)
        log_in(sim, client);
    QTRY_VERIFY(client.connected);
    client.send(text);
    QTRY_COMPARE(sim.bad_commands(), 1);
    QVERIFY2(sim.last_bad_reason().contains(reason), qPrintable(sim.last_bad_reason()));
    QCOMPARE(bad.size(), 1);
    QCOMPARE(bad.at(0).at(0).toString().isEmpty(), false);
    QVERIFY(client.caught_up());
    QVERIFY(client.with_cmd("rx").isEmpty());
    QCOMPARE(sim.outstanding_send_data(), 0);

    // A binary frame from the client is just as wrong.
    client.socket.sendBinaryMessage("{}");
    QTRY_COMPARE(sim.bad_commands(), 2);
    QCOMPARE(sim.last_bad_reason(), QStringLiteral("binary frame"));
}

void Tst_simulator::reply_faults_data()
{
    QTest::addColumn<int>("kind");  // 0 auth, 1 device list, 2 send data
    QTest::addColumn<int>("reply");
    QTest::addColumn<QString>("err_string");
    QTest::addColumn<QString>("expected");  // the text received; "" for nothing, "binary", "closed"

    const QString append = QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":true,\"append_status\":"
                                          "[{\"devEui\":\"0011223344556677\",\"status\":true}]}");
    const QString auth = QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":true}");
    const QString err = QStringLiteral("Доступ запрещён \"x\"");
    QTest::newRow("auth none") << 0 << int(Reply::none) << err << "";
    QTest::newRow("auth reject") << 0 << int(Reply::reject) << err
                                 << "{\"cmd\":\"auth_resp\",\"status\":false,\"err_string\":\"Доступ запрещён \\\"x\\\"\"}";
    QTest::newRow("auth reject bare") << 0 << int(Reply::reject) << "" << "{\"cmd\":\"auth_resp\",\"status\":false}";
    QTest::newRow("auth incomplete") << 0 << int(Reply::incomplete) << err << "{\"cmd\":\"auth_resp\"}";
    QTest::newRow("auth malformed") << 0 << int(Reply::malformed) << err << auth.left(auth.size() / 2);
    QTest::newRow("auth binary") << 0 << int(Reply::binary) << err << "binary";
    QTest::newRow("auth close") << 0 << int(Reply::close) << err << "closed";
    QTest::newRow("auth custom") << 0 << int(Reply::custom) << err << "custom";
    QTest::newRow("list none") << 1 << int(Reply::none) << err << "";
    QTest::newRow("list reject") << 1 << int(Reply::reject) << "no"
                                 << "{\"cmd\":\"get_device_appdata_resp\",\"status\":false,\"err_string\":\"no\"}";
    QTest::newRow("list incomplete") << 1 << int(Reply::incomplete) << err << "{\"cmd\":\"get_device_appdata_resp\",\"status\":true}";
    QTest::newRow("list binary") << 1 << int(Reply::binary) << err << "binary";
    QTest::newRow("list close") << 1 << int(Reply::close) << err << "closed";
    QTest::newRow("data none") << 2 << int(Reply::none) << err << "";
    QTest::newRow("data reject") << 2 << int(Reply::reject) << "" << "{\"cmd\":\"send_data_resp\",\"status\":false}";
    QTest::newRow("data incomplete") << 2 << int(Reply::incomplete) << err << "{\"cmd\":\"send_data_resp\",\"status\":true}";
    QTest::newRow("data malformed") << 2 << int(Reply::malformed) << err << append.left(append.size() / 2);
    QTest::newRow("data binary") << 2 << int(Reply::binary) << err << "binary";
    QTest::newRow("data close") << 2 << int(Reply::close) << err << "closed";
}

// Each reply fault replaces the reply, and a faulty send_data_resp is never followed by an echo.
void Tst_simulator::reply_faults()
{
    QFETCH(int, kind);
    QFETCH(int, reply);
    QFETCH(QString, err_string);
    QFETCH(QString, expected);
    Sim_server sim;
    sim.add_modem(modem(echo_eui, QStringLiteral("echo")));
    QVERIFY(sim.listen());
    Reply_fault fault;
    fault.reply = Reply(reply);
    fault.custom_text = QStringLiteral("custom");
    Reply_fault *const target[] = {&sim.faults().auth, &sim.faults().devlist, &sim.faults().send_data};
    *target[kind] = fault;
    sim.faults().err_string = err_string;
    const QString commands[] = {auth_req, devlist_req, send_data_req(echo_eui, "abc")};

    Ws_test_client client(sim.url());
    if (kind > 0)
        log_in(sim, client);
    QTRY_VERIFY(client.connected);
    const int before = client.texts.size();
    client.send(commands[kind]);
    if (expected == QLatin1String("closed")) {
        QTRY_VERIFY(client.disconnected);
        QTRY_COMPARE(sim.open_connections(), 0);
    } else if (expected == QLatin1String("binary")) {
        QTRY_COMPARE(client.binaries.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(client.binaries.at(0)).object().value("status"), QJsonValue(true));
    } else if (expected.isEmpty()) {
        QTRY_COMPARE(sim.last_texts().size(), before + 1);
    } else {
        QTRY_COMPARE(client.texts.size(), before + 1);
        QCOMPARE(client.texts.last(), expected);
    }
    // An echo after the reply would come before the pong.
    if (expected != QLatin1String("closed"))
        QVERIFY(client.caught_up());
    QCOMPARE(client.texts.size(), before + (expected.isEmpty() || expected == "binary" || expected == "closed" ? 0 : 1));
    QCOMPARE(sim.outstanding_send_data(), kind == 2 && reply == int(Reply::none) ? 1 : 0);
    QCOMPARE(sim.bad_commands(), 0);
}

void Tst_simulator::fault_applies_only_so_many_times()
{
    Sim_server sim;
    QVERIFY(sim.listen());
    sim.faults().auth.reply = Reply::reject;
    sim.faults().auth.times = 2;
    Ws_test_client client(sim.url());
    QTRY_VERIFY(client.connected);
    for (int i = 1; i <= 3; ++i) {
        client.send(auth_req);
        QTRY_COMPARE(client.texts.size(), i);
        QCOMPARE(client.json(i - 1).value("status"), QJsonValue(i == 3));
    }
    QCOMPARE(sim.faults().auth.times, 0);
}

void Tst_simulator::reply_delay_per_kind()
{
    Sim_server sim;
    sim.add_modem(modem(echo_eui, QStringLiteral("echo")));
    QVERIFY(sim.listen());
    sim.faults().devlist.delay_ms = 500;
    Ws_test_client client(sim.url());
    log_in(sim, client);  // not delayed
    QElapsedTimer since_request;
    since_request.start();
    client.send(devlist_req);
    QTRY_COMPARE(client.texts.size(), 2);
    QVERIFY2(since_request.elapsed() >= 500, qPrintable(QString::number(since_request.elapsed())));
    QCOMPARE(client.json(1).value("cmd").toString(), QStringLiteral("get_device_appdata_resp"));

    // A delayed reply to a connection that has gone is dropped quietly.
    sim.faults().send_data.delay_ms = 200;
    client.send(send_data_req(echo_eui, "z"));
    QTRY_COMPARE(sim.outstanding_send_data(), 1);
    QSignalSpy sent(&sim, &Sim_server::text_sent);
    client.socket.abort();
    QTRY_COMPARE(sim.open_connections(), 0);
    QCOMPARE(sim.outstanding_send_data(), 0);
    // The same delay for a later request: its reply comes after the dropped one was due.
    Ws_test_client next(sim.url());
    QTRY_VERIFY(next.connected);
    next.send(auth_req);
    next.send(send_data_req(echo_eui, "y"));
    QTRY_COMPARE(join_groups(next.with_cmd("rx")), QList<QByteArray>{"y"});
    int replies = 0;
    for (const QList<QVariant> &text : qAsConst(sent))
        replies += text.at(0).toString().contains(QLatin1String("send_data_resp"));
    QCOMPARE(replies, 1);
    QCOMPARE(sim.outstanding_send_data(), 0);
    QCOMPARE(sim.max_outstanding_send_data(), 1);
}

void Tst_simulator::append_status_false_for_one_modem()
{
    Sim_server sim;
    sim.add_modem(modem(echo_eui, QStringLiteral("echo")));
    sim.add_modem(modem(other_eui, QStringLiteral("other")));
    sim.faults().append_false.insert(other_eui);
    QVERIFY(sim.listen());
    QSignalSpy downlinks(&sim, &Sim_server::downlink);
    Ws_test_client client(sim.url());
    log_in(sim, client);
    client.send(send_data_req(other_eui, "no"));
    client.send(send_data_req(echo_eui, "yes"));
    QTRY_COMPARE(client.with_cmd("send_data_resp").size(), 2);
    const QList<QJsonObject> replies = client.with_cmd("send_data_resp");
    QCOMPARE(replies.at(0).value("append_status").toArray().at(0).toObject().value("devEui").toString(),
             QStringLiteral("FEDCBA9876543210"));
    QCOMPARE(replies.at(0).value("append_status").toArray().at(0).toObject().value("status"), QJsonValue(false));
    QCOMPARE(replies.at(1).value("append_status").toArray().at(0).toObject().value("status"), QJsonValue(true));
    QTRY_COMPARE(join_groups(client.with_cmd("rx")), QList<QByteArray>{"yes"});
    QCOMPARE(downlinks.size(), 1);
}

void Tst_simulator::close_after_messages()
{
    Sim_server sim;
    sim.add_modem(modem(echo_eui, QStringLiteral("echo")));
    sim.faults().close_after = 3;
    QVERIFY(sim.listen());
    QSignalSpy closed(&sim, &Sim_server::connection_closed);
    for (int round = 1; round <= 2; ++round) {
        Ws_test_client client(sim.url());
        log_in(sim, client);
        client.send(devlist_req);
        QTRY_COMPARE(client.texts.size(), 2);
        client.send(send_data_req(echo_eui, "lost"));
        QTRY_VERIFY(client.disconnected);
        QCOMPARE(client.texts.size(), 2);
        QTRY_COMPARE(closed.size(), round);
        sim.reset_counters();
    }
    QCOMPARE(sim.outstanding_send_data(), 0);
}

void Tst_simulator::close_and_abort_on_demand()
{
    Sim_server sim;
    QVERIFY(sim.listen());
    Ws_test_client first(sim.url());
    Ws_test_client second(sim.url());
    QTRY_VERIFY(first.connected && second.connected);
    QTRY_COMPARE(sim.open_connections(), 2);
    sim.close_connections();
    QTRY_VERIFY(first.disconnected && second.disconnected);
    QCOMPARE(first.socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
    QTRY_COMPARE(sim.open_connections(), 0);
    QCOMPARE(sim.last_close_code(), 1000);

    Ws_test_client third(sim.url());
    QTRY_VERIFY(third.connected);
    QTRY_COMPARE(sim.open_connections(), 1);
    sim.abort_connections();
    QTRY_VERIFY(third.disconnected);
    QTRY_COMPARE(sim.open_connections(), 0);
    QCOMPARE(sim.last_close_code(), 1006);
    QCOMPARE(sim.connections_accepted(), 3);
}

void Tst_simulator::stop_listening_and_hang_handshakes()
{
    Sim_server sim;
    QVERIFY(sim.listen());
    const QUrl url = sim.url();
    Ws_test_client kept(url);
    QTRY_VERIFY(kept.connected);

    sim.stop_listening();
    QCOMPARE(sim.url(), url);
    Ws_test_client refused(url);
    QTRY_VERIFY(refused.failed);
    QVERIFY(!refused.connected);
    QVERIFY(sim.listen(url.port()));
    Ws_test_client back(url);
    QTRY_VERIFY(back.connected);
    QVERIFY(!kept.disconnected);

    sim.set_accepting(false);
    Ws_test_client hanging(url);
    // A handshake begun later with a server that accepts: by its end, the first would have
    // ended as well had it been taken.
    Sim_server accepting;
    QVERIFY(accepting.listen());
    Ws_test_client later(accepting.url());
    QTRY_VERIFY(later.connected);
    QVERIFY(!hanging.connected && !hanging.failed);
    sim.set_accepting(true);
    QTRY_VERIFY(hanging.connected);
    QCOMPARE(sim.connections_accepted(), 3);
}

void Tst_simulator::close_code_of_the_client_data()
{
    QTest::addColumn<int>("code");  // 0: the client drops the connection without a handshake
    QTest::addColumn<int>("seen");

    QTest::newRow("normal") << 1000 << 1000;
    QTest::newRow("going away") << 1001 << 1001;
    QTest::newRow("dropped") << 0 << 1006;
}

// Tests of the program's shutdown rely on telling a normal close from a dropped connection.
void Tst_simulator::close_code_of_the_client()
{
    QFETCH(int, code);
    QFETCH(int, seen);
    Sim_server sim;
    QVERIFY(sim.listen());
    QSignalSpy closed(&sim, &Sim_server::connection_closed);
    Ws_test_client client(sim.url());
    QTRY_VERIFY(client.connected);
    QTRY_COMPARE(sim.open_connections(), 1);
    if (code)
        client.socket.close(QWebSocketProtocol::CloseCode(code));
    else
        client.socket.abort();
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(closed.at(0).at(0).toInt(), seen);
    QCOMPARE(sim.last_close_code(), seen);
}

void Tst_simulator::binary_and_malformed_on_demand()
{
    Sim_server sim;
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    QTRY_VERIFY(client.connected);
    QTRY_COMPARE(sim.open_connections(), 1);
    QCOMPARE(sim.send_binary(QByteArray("\x00\x01", 2)), 1);
    QCOMPARE(sim.send_text(QStringLiteral("{\"cmd\":\"rx\",")), 1);
    QTRY_COMPARE(client.binaries, QList<QByteArray>{QByteArray("\x00\x01", 2)});
    QTRY_COMPARE(client.texts, QStringList{QStringLiteral("{\"cmd\":\"rx\",")});
}

void Tst_simulator::lowercase_euis()
{
    Sim_server sim;
    sim.add_modem(modem(other_eui, QStringLiteral("other")));
    sim.faults().lowercase_eui = true;
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    log_in(sim, client);
    client.send(devlist_req);
    client.send(send_data_req(other_eui, "q"));
    QTRY_COMPARE(client.texts.size(), 4);
    QCOMPARE(client.json(1).value("devices_list").toArray().at(0).toObject().value("devEui").toString(),
             QStringLiteral("fedcba9876543210"));
    QVERIFY(client.texts.at(2).contains("\"devEui\":\"fedcba9876543210\""));
    QCOMPARE(client.json(3).value("devEui").toString(), QStringLiteral("fedcba9876543210"));
    QCOMPARE(sim.bad_commands(), 0);
}

// With delayed replies, commands sent without waiting for each reply show up as outstanding at once.
void Tst_simulator::outstanding_send_data_is_measured()
{
    Sim_server sim;
    sim.add_modem(modem(echo_eui, QStringLiteral("echo")));
    sim.faults().send_data.delay_ms = 150;
    QVERIFY(sim.listen());
    Ws_test_client client(sim.url());
    log_in(sim, client);
    client.send(send_data_req(echo_eui, "1"));
    QTRY_COMPARE(client.with_cmd("send_data_resp").size(), 1);
    client.send(send_data_req(echo_eui, "2"));
    QTRY_COMPARE(client.with_cmd("send_data_resp").size(), 2);
    QCOMPARE(sim.max_outstanding_send_data(), 1);

    for (const char *text : {"3", "4", "5"})
        client.send(send_data_req(echo_eui, text));
    QTRY_COMPARE(client.with_cmd("send_data_resp").size(), 5);
    QCOMPARE(sim.max_outstanding_send_data(), 3);
    QCOMPARE(sim.outstanding_send_data(), 0);
    QCOMPARE(sim.received("send_data_req"), 5);
    QTRY_COMPARE(join_groups(client.with_cmd("rx")), QList<QByteArray>({"1", "2", "3", "4", "5"}));
    sim.reset_counters();
    QCOMPARE(sim.max_outstanding_send_data(), 0);
    QCOMPARE(sim.received("send_data_req"), 0);
}

QTEST_GUILESS_MAIN(Tst_simulator)
#include "tst_simulator.moc"
