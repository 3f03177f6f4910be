#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "lora_sim/sim_server.h"
#include "shared/shared_state.h"
#include "support/test_support.h"
#include "tcp/modbus_gateway.h"

#include <QFile>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Modbus TCP masters through a gateway port to simulated RTU slaves and back: the exchange
// thread runs for real, the simulated network server and the masters live in the test thread.

namespace {

const Eui eui_a = 0x0011223344556677ULL;
constexpr int wait_ms = 5000;

Sim_modem slave(Modbus_options options = Modbus_options())
{
    Sim_modem m;
    m.eui = eui_a;
    m.name = QStringLiteral("plc");
    m.behaviour = Modem_behaviour::modbus;
    m.modbus = options;
    return m;
}

// Modems in use by clients, as the window counts them.
int clients()
{
    QMutexLocker lock(&state_mutex);
    return clients_count;
}

// Masters that the gateway has accepted so far, as its trace tells.
int accepted()
{
    return log_contents().count(QStringLiteral(").accept"));
}

bool has_server(Eui eui)
{
    QMutexLocker lock(&state_mutex);
    return port_views.contains(eui);
}

QByteArray be16(int value)
{
    return QByteArray(1, char(value >> 8)) + char(value & 0xFF);
}

QByteArray read_registers(int address, int count)
{
    return QByteArray(1, char(3)) + be16(address) + be16(count);
}

QByteArray write_register(int address, int value)
{
    return QByteArray(1, char(6)) + be16(address) + be16(value);
}

// A Modbus TCP master written out by hand: MBAP frames out, replies kept by transaction id.
class Master {
public:
    bool connect_to(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(wait_ms);
    }

    void send(int transaction, int unit, const QByteArray &pdu)
    {
        socket.write(be16(transaction) + be16(0) + be16(pdu.size() + 1) + char(unit) + pdu);
        socket.flush();
    }
    void send_raw(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    // Waits until the reply of the transaction has come: unit and PDU as hex, "" when none.
    QString reply(int transaction)
    {
        if (!QTest::qWaitFor([&] { return take() && replies.contains(transaction); }, wait_ms))
            return QString();
        return replies.value(transaction);
    }
    // The transactions in the order their replies came.
    QList<int> order;
    QTcpSocket socket;

private:
    bool take()
    {
        buffer += socket.readAll();
        while (buffer.size() >= 7) {
            const int length = (quint8(buffer[4]) << 8) | quint8(buffer[5]);
            if (buffer.size() < 6 + length)
                break;
            const int transaction = (quint8(buffer[0]) << 8) | quint8(buffer[1]);
            replies.insert(transaction, QString::fromLatin1(buffer.mid(6, length).toHex(' ')));
            order << transaction;
            buffer.remove(0, 6 + length);
        }
        return true;
    }

    QByteArray buffer;
    QMap<int, QString> replies;
};

} // namespace

class Tst_modbus_gateway : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    std::unique_ptr<Sim_server> sim;
    std::unique_ptr<Engine> engine;

    // The slave served as a gateway, its port listening; 0 on failure.
    quint16 start(const Sim_modem &modem = slave(), int max_frame = 255)
    {
        sim->add_modem(modem);
        const quint16 port = free_port();
        served_model.add({eui_a, Device_params{max_frame, port, Device_mode::modbus_tcp}});
        settings.ws_url = sim->url().toString();
        engine.reset(new Engine);
        engine->start();
        return QTest::qWaitFor([] { return has_server(eui_a); }, wait_ms) ? port : 0;
    }

    // A plain slave served, and two masters accepted on its port.
    bool start_with_two(Master &a, Master &b)
    {
        const quint16 port = start();
        return port && a.connect_to(port) && b.connect_to(port)
               && QTest::qWaitFor([] { return accepted() == 2; }, wait_ms);
    }

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        const QString log_path = dir.filePath(QStringLiteral("gateway.log"));
        QFile::remove(log_path);
        set_log_file_name(log_path.toUtf8());
        reset_process_state();
        settings.ws_reconnect_delay = 100;
        settings.ws_devlist_period = 150;
        settings.trace_tcp = Trace_level::all;
        sim.reset(new Sim_server);
        QVERIFY(sim->listen());
    }

    void cleanup()
    {
        if (engine)
            QVERIFY(engine->stop(10000));
        engine.reset();
        sim.reset();
        reset_process_state();
    }

    void cleanupTestCase() { reset_log_file_name(); }

    // Writes and reads of one master; an exception of the slave comes back as it is.
    void reads_and_writes()
    {
        const quint16 port = start();
        QVERIFY(port);
        Master master;
        QVERIFY(master.connect_to(port));
        master.send(1, 1, write_register(5, 0x1234));
        QCOMPARE(master.reply(1), QStringLiteral("01 06 00 05 12 34"));
        master.send(2, 1, QByteArray::fromHex("1000060002040102a0b0"));
        QCOMPARE(master.reply(2), QStringLiteral("01 10 00 06 00 02"));
        master.send(0xFFFF, 1, read_registers(5, 3));
        QCOMPARE(master.reply(0xFFFF), QStringLiteral("01 03 06 12 34 01 02 a0 b0"));
        master.send(4, 1, QByteArray::fromHex("07"));
        QCOMPARE(master.reply(4), QStringLiteral("01 87 01"));
    }

    // Two masters send ahead, interleaved: each gets its own replies, by transaction id.
    void masters_interleave()
    {
        Master a;
        Master b;
        QVERIFY(start_with_two(a, b));
        for (int i = 0; i < 3; ++i) {
            a.send(100 + i, 1, write_register(10 + i, 0xA000 + i));
            b.send(100 + i, 1, write_register(20 + i, 0xB000 + i));
        }
        a.send(200, 1, read_registers(10, 3));
        b.send(200, 1, read_registers(20, 3));
        QCOMPARE(a.reply(200), QStringLiteral("01 03 06 a0 00 a0 01 a0 02"));
        QCOMPARE(b.reply(200), QStringLiteral("01 03 06 b0 00 b0 01 b0 02"));
        QCOMPARE(a.reply(102), QStringLiteral("01 06 00 0c a0 02"));
        QCOMPARE(b.reply(101), QStringLiteral("01 06 00 15 b0 01"));
        QCOMPARE(a.order, QList<int>({100, 101, 102, 200}));
        QCOMPARE(b.order, QList<int>({100, 101, 102, 200}));
    }

    // What the gateway answers itself, and a reply it must not take; the master stays.
    void gateway_answers_data()
    {
        QTest::addColumn<bool>("mute");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<bool>("bad_crc");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("logged");
        QTest::newRow("time-out") << true << false << false << "01 83 0b"
                                  << "не ответил на запрос Modbus за 300 мс";
        QTest::newRow("refused downlink") << false << true << false << "01 83 0a"
                                          << "Сервер QUVO-LoRa не принял запрос Modbus";
        QTest::newRow("bad CRC ignored") << false << false << true << "01 03 02 00 00"
                                         << "на запрос Modbus отброшен: неверная контрольная сумма";
    }
    void gateway_answers()
    {
        QFETCH(bool, mute);
        QFETCH(bool, refused);
        QFETCH(bool, bad_crc);
        QFETCH(QString, reply);
        QFETCH(QString, logged);
        settings.modbus_timeout = 300;
        Modbus_options options;
        options.mute = mute;
        options.bad_crc = bad_crc;
        const quint16 port = start(slave(options));
        QVERIFY(port);
        if (refused)
            sim->faults().append_false.insert(eui_a);
        Master master;
        QVERIFY(master.connect_to(port));
        master.send(7, 1, read_registers(0, 1));
        QCOMPARE(master.reply(7), reply);
        QVERIFY(log_contents().contains(logged));
        QCOMPARE(master.socket.state(), QAbstractSocket::ConnectedState);
        // The next request goes out as usual.
        sim->faults().append_false.clear();
        master.send(8, 1, write_register(0, 1));
        QVERIFY(!master.reply(8).isEmpty());
    }

    // The answer to a request that timed out comes while the next is on the wire: it is not
    // taken for the next one's.
    void late_reply_not_taken()
    {
        settings.modbus_timeout = 2000;
        const quint16 port = start();
        QVERIFY(port);
        // The first downlink's reply, and so its uplink, come after its time-out; the second
        // request waits from that time-out on, and goes out and is answered once that reply is in.
        sim->faults().send_data.delay_ms = 2500;
        sim->faults().send_data.times = 1;
        Master master;
        QVERIFY(master.connect_to(port));
        master.send(1, 1, read_registers(0, 1));
        master.send(2, 1, read_registers(0, 2));
        QCOMPARE(master.reply(1), QStringLiteral("01 83 0b"));
        QCOMPARE(master.reply(2), QStringLiteral("01 03 04 00 00 00 00"));
        QVERIFY(log_contents().contains(QStringLiteral("он не соответствует запросу")));
    }

    // A master that leaves mid-request takes nothing with it: the next master's request goes
    // once the line is free. When the link drops, the port goes with its masters and their
    // waiting requests.
    void master_leaves_then_link_drops()
    {
        Master leaving;
        Master staying;
        QVERIFY(start_with_two(leaving, staying));
        sim->faults().send_data.delay_ms = 500;
        sim->faults().send_data.times = 1;
        QSignalSpy downlinks(sim.get(), &Sim_server::downlink);
        leaving.send(1, 1, write_register(1, 0x1111));
        QTRY_COMPARE_WITH_TIMEOUT(sim->outstanding_send_data(), 1, wait_ms);
        leaving.socket.abort();
        staying.send(2, 1, read_registers(1, 1));
        QCOMPARE(staying.reply(2), QStringLiteral("01 03 02 11 11"));
        QCOMPARE(downlinks.size(), 2);

        sim->faults().send_data.reply = Reply::none;
        sim->faults().send_data.times = -1;
        staying.send(3, 1, read_registers(1, 1));
        staying.send(4, 1, read_registers(1, 1));
        QTRY_COMPARE_WITH_TIMEOUT(sim->outstanding_send_data(), 1, wait_ms);
        sim->abort_connections();
        QTRY_COMPARE_WITH_TIMEOUT(staying.socket.state(), QAbstractSocket::UnconnectedState, wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(clients(), 0, wait_ms);
    }

    // A malformed header closes that master only; a broadcast is sent and not answered.
    void malformed_header_and_broadcast()
    {
        Master bad;
        Master good;
        QVERIFY(start_with_two(bad, good));
        bad.send_raw(QByteArray::fromHex("000100010006010300000001"));
        QTRY_COMPARE_WITH_TIMEOUT(bad.socket.state(), QAbstractSocket::UnconnectedState, wait_ms);
        QVERIFY(log_contents().contains(QStringLiteral("с неправильным заголовком MBAP")));
        QCOMPARE(clients(), 1);

        good.send(1, 0, write_register(3, 0x55AA));
        good.send(2, 1, read_registers(3, 1));
        QCOMPARE(good.reply(2), QStringLiteral("01 03 02 55 aa"));
        QCOMPARE(good.order, QList<int>({2}));
    }

    // Past the bound of waiting requests the master hears "busy"; a ninth master is refused.
    void bounds()
    {
        Modbus_options options;
        options.mute = true;
        const quint16 port = start(slave(options));
        QVERIFY(port);
        Master master;
        QVERIFY(master.connect_to(port));
        for (int i = 0; i <= Modbus_gateway::max_outstanding; ++i)
            master.send(i, 1, read_registers(0, 1));
        QCOMPARE(master.reply(Modbus_gateway::max_outstanding), QStringLiteral("01 83 06"));
        QCOMPARE(master.order.size(), 1);

        std::vector<std::unique_ptr<Master>> others;
        for (int i = 1; i < Modbus_gateway::max_masters; ++i) {
            others.push_back(std::make_unique<Master>());
            QVERIFY(others.back()->connect_to(port));
        }
        QTRY_COMPARE_WITH_TIMEOUT(accepted(), Modbus_gateway::max_masters, wait_ms);
        Master ninth;
        QVERIFY(ninth.connect_to(port));
        QTRY_COMPARE_WITH_TIMEOUT(ninth.socket.state(), QAbstractSocket::UnconnectedState, wait_ms);
        QVERIFY(log_contents().contains(QStringLiteral("уже подключены 8 клиентов")));
        QCOMPARE(others.front()->socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(clients(), 1);
    }

    // A request whose RTU frame would not fit the modem's frame limit is not sent.
    void request_past_frame_limit()
    {
        const quint16 port = start(slave(), 8);
        QVERIFY(port);
        QSignalSpy downlinks(sim.get(), &Sim_server::downlink);
        Master master;
        QVERIFY(master.connect_to(port));
        master.send(1, 1, QByteArray::fromHex("1000000001020001"));
        QCOMPARE(master.reply(1), QStringLiteral("01 90 0a"));
        master.send(2, 1, read_registers(0, 1));
        QCOMPARE(master.reply(2), QStringLiteral("01 03 02 00 00"));
        QCOMPARE(downlinks.size(), 1);
    }
};

QTEST_MAIN(Tst_modbus_gateway)
#include "tst_modbus_gateway.moc"
