#include "base/err.h"
#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "exchange/modem_servers.h"
#include "link/ws_connection.h"
#include "lora_sim/uplink_packets.h"
#include "shared/shared_state.h"
#include "support/recording_tcp_link.h"
#include "support/test_support.h"
#include "tcp/tcp_server.h"

#include <QBuffer>
#include <QFile>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <malloc.h>
#include <memory>

// One Tcp_server and its clients in this thread, with a recording stand-in for the link (no
// Engine, no thread, no WebSocket): accepting, replacing and closing clients, the messages
// cut at pauses, the frame limit, uplink data to the client, the life of the server object
// and its trace lines.

namespace {

const Eui eui = 0x0011223344556677ULL;

int clients()
{
    QMutexLocker lock(&state_mutex);
    return clients_count;
}

// One type-0x03 packet of a group of `count` packets of `size` bytes each.
QByteArray group_packet(int number, int count, int size)
{
    return make_uplink_packet(0x03, quint16(count * size), QByteArray(size, char('a' + number % 26)),
                              quint8(number), quint8(count));
}

} // namespace

class Tst_tcp_server : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString log_path;
    std::unique_ptr<Recording_tcp_link> link;
    QPointer<Tcp_server> server;
    quint16 port = 0;

    QString tcp(const char *rest) const { return QStringLiteral("tcp%1").arg(port) + QLatin1String(rest); }

    std::unique_ptr<QTcpSocket> connect_client()
    {
        auto client = std::make_unique<QTcpSocket>();
        client->connectToHost(QHostAddress::LocalHost, port);
        if (!client->waitForConnected(5000))
            return nullptr;
        return client;
    }

    void start_server(int max_frame = 51)
    {
        port = free_port();
        QVERIFY(port);
        server = new Tcp_server(*link, link.get(), eui, Device_params{max_frame, port});
        QCOMPARE(link->alive, 2);
    }

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        log_path = dir.filePath(QStringLiteral("server.log"));
        QFile::remove(log_path);
        set_log_file_name(log_path.toUtf8());
        reset_settings();
        reset_shared_state();
        settings.trace_tcp = Trace_level::all;
        settings.interframe_delay = 30;
        link.reset(new Recording_tcp_link);
    }

    void cleanup()
    {
        if (server)
            server->shutdown_server();
        QTRY_VERIFY(!server);
        QTRY_COMPARE(link->alive, 1);
        link.reset();
        reset_shared_state();
        reset_settings();
    }

    void cleanupTestCase() { reset_log_file_name(); }

    // A message holds what has come, in a block of its size once taken, and stops one
    // byte past the frame limit however much a read offers.
    void client_message_data()
    {
        QTest::addColumn<int>("max_frame");
        QTest::addColumn<QList<int>>("reads");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("overlong");
        QTest::newRow("grows as it comes") << 51 << QList<int>{1, 2, 3} << 6 << false;
        QTest::newRow("exactly the limit") << 8 << QList<int>{5, 3} << 8 << false;
        QTest::newRow("one past the limit") << 8 << QList<int>{5, 9} << 9 << true;
        QTest::newRow("a read offering more than fits") << 9999 << QList<int>{20000} << 10000 << true;
    }
    void client_message()
    {
        QFETCH(int, max_frame);
        QFETCH(QList<int>, reads);
        QFETCH(int, size);
        QFETCH(bool, overlong);
        Client_message message(max_frame);
        for (int n : reads) {
            QByteArray bytes(n, 'x');
            QBuffer source(&bytes);
            QVERIFY(source.open(QIODevice::ReadOnly));
            QVERIFY(message.read_from(source, n) > 0);
        }
        QCOMPARE(message.size(), size);
        QCOMPARE(message.overlong(), overlong);
        const QByteArray taken = message.take();
        QCOMPARE(taken, QByteArray(size, 'x'));
        QCOMPARE(taken.capacity(), size);
        QVERIFY(message.empty());
        QCOMPARE(message.space(), qint64(max_frame) + 1);
    }

    // A complete uplink group reaches the client in one piece.
    void uplink_reaches_the_client()
    {
        start_server();
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        QCOMPARE(clients(), 1);
        server->on_modem_data(packet("hello"), true, 1);
        QCOMPARE(receive(*client, 5), QByteArray("hello"));
        server->on_modem_data(packet("hello"), true, 1);
        client->write("x");
        QTRY_VERIFY(log_contents().contains(tcp(".recv 0x{78}")));
        QCOMPARE(client->bytesAvailable(), qint64(0));
        const QString log = log_contents();
        QVERIFY(log.contains(tcp(".listen")));
        QVERIFY(log.contains(tcp("(peer=[")) && log.contains(QStringLiteral(").accept")));
        QVERIFY(log.contains(tcp(".send 0x{68 65 6C 6C 6F}")));
    }

    // A group of size 0 writes nothing but is traced as an empty send.
    void empty_group_writes_nothing()
    {
        start_server();
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        server->on_modem_data(packet(QByteArray()), false, 0);
        QVERIFY(log_contents().contains(tcp(".send {}")));
        server->on_modem_data(packet("after"), false, 0);
        QCOMPARE(receive(*client, 5), QByteArray("after"));
    }

    // Clients are counted under the lock; the window is told only while the link is up,
    // but the pending bit is set all the same.
    void clients_counted_without_telling_a_link_that_is_down()
    {
        Modem_servers servers;
        QSignalSpy told(&servers, &Modem_servers::clients_changed);
        port = free_port();
        QVERIFY(port);
        server = new Tcp_server(servers, nullptr, eui, Device_params{51, port});
        auto client = connect_client();
        QVERIFY(client);
        QTRY_COMPARE(clients(), 1);
        {
            QMutexLocker lock(&state_mutex);
            QVERIFY(state_flags & clients_changed_pending);
        }
        client->disconnectFromHost();
        QTRY_COMPARE(clients(), 0);
        QCOMPARE(told.count(), 0);
        server->shutdown_server();
        QTRY_VERIFY(!server);
        QCOMPARE(servers.alive(), 1);
    }

    // The server hands its link plain messages, one per pause, and tells it of a client
    // only when no notification is pending.
    void messages_cut_at_pauses_reach_the_link()
    {
        start_server();
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        QCOMPARE(link->clients_told, 1);
        client->write("abc");
        QTRY_COMPARE(link->messages.size(), 1);
        client->write("de");
        QTRY_COMPARE(link->messages.size(), 2);
        for (const Downlink &m : qAsConst(link->messages)) {
            QCOMPARE(m.eui, eui);
            QCOMPARE(m.origin, static_cast<Downlink_origin *>(server.data()));
        }
        QCOMPARE(link->messages[0].data, QByteArray("abc"));
        QCOMPARE(link->messages[1].data, QByteArray("de"));
        client->disconnectFromHost();
        QTRY_COMPARE(clients(), 0);
        QCOMPARE(link->clients_told, 1);
    }

    void client_ended_by_the_link_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("message refused by the network server") << true;
        QTest::newRow("modem's messages at their cap") << false;
    }
    // A refusal or a full queue ends the client, and its waiting messages are dropped.
    void client_ended_by_the_link()
    {
        QFETCH(bool, refused);
        link->cap = 1;
        start_server();
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
        client->write("first");
        QTRY_COMPARE(link->messages.size(), 1);
        if (refused)
            server->downlink_refused();
        else
            client->write("second");
        QVERIFY(gone.wait(5000));
        QCOMPARE(link->dropped, QVector<const Downlink_origin *>{server.data()});
        QVERIFY(link->messages.isEmpty());
        const QString cap_text = QStringLiteral("Ошибка: клиент на порту %1 прислал сообщение, когда для этого "
                                                "устройства уже ждут отправки 1 сообщений").arg(port);
        QCOMPARE(log_contents().contains(cap_text), !refused);
        QTRY_COMPARE(clients(), 0);
    }

    // A client that leaves still has what it sent delivered, but nobody hears of the replies.
    void leaving_client_keeps_its_last_message()
    {
        start_server();
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        client->write("last");
        client->disconnectFromHost();
        QTRY_COMPARE(clients(), 0);
        QTRY_COMPARE(link->messages.size(), 1);
        QCOMPARE(link->messages[0].data, QByteArray("last"));
        QVERIFY(!link->messages[0].origin);
        QVERIFY(link->detached.contains(server.data()));
        QVERIFY(link->dropped.isEmpty());
    }

    // Without a client, uplink packets are dropped unseen, repeats included.
    void uplink_without_client_is_ignored()
    {
        start_server();
        server->on_modem_data(packet("lost"), true, 5);
        server->on_modem_data(QByteArray(), false, 0);
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        server->on_modem_data(packet("seen"), true, 5);
        QCOMPARE(receive(*client, 4), QByteArray("seen"));
        QVERIFY(!log_contents().contains(QStringLiteral("пустым полем")));
    }

    // A faulty packet before any group only costs that packet; after a group it costs the client.
    void faulty_packet_before_and_after_a_group()
    {
        start_server();
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        server->on_modem_data(QByteArray("\x03\x01", 2), false, 0);
        QVERIFY(log_contents().contains(QStringLiteral("фактическая длина пакета равна 2 байтов")));
        server->on_modem_data(packet("ok"), false, 0);
        QCOMPARE(receive(*client, 2), QByteArray("ok"));
        QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
        server->on_modem_data(QByteArray("\x03\x01", 2), false, 0);
        QVERIFY(gone.wait(5000));
        QTRY_COMPARE(clients(), 0);
        QVERIFY(log_contents().contains(tcp(".shutdown_ok")));
    }

    void overlong_message_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<bool>("dump");
        QTest::newRow("err") << int(Trace_level::err) << false;
        QTest::newRow("bad_frames") << int(Trace_level::bad_frames) << true;
        QTest::newRow("all") << int(Trace_level::all) << false;
    }
    // One byte over the limit ends the client; the dump comes only at "bad_frames".
    void overlong_message()
    {
        QFETCH(int, level);
        QFETCH(bool, dump);
        settings.trace_tcp = Trace_level(level);
        start_server(4);
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
        client->write("abcde");
        QVERIFY(gone.wait(5000));
        const QString log = log_contents();
        QVERIFY(log.contains(QStringLiteral("Ошибка: от клиента на порту %1 пришло сообщение, размер которого "
                                            "превышает предельный для этого клиента (4 байтов).").arg(port)));
        QCOMPARE(log.contains(QStringLiteral("Уже принятая часть сообщения, вызвавшего предыдущую ошибку: "
                                             "0x{61 62 63 64 65}")), dump);
        QCOMPARE(log.contains(tcp(".recv ")), level == int(Trace_level::all));
        QCOMPARE(log.contains(tcp(".listen")), level == int(Trace_level::all));
        QTRY_COMPARE(clients(), 0);
    }

    // A newcomer takes over without changing the count of clients.
    void new_client_replaces_the_old()
    {
        start_server();
        auto old = connect_client();
        QVERIFY(old);
        QTRY_VERIFY(server->has_client());
        QSignalSpy old_gone(old.get(), &QTcpSocket::disconnected);
        auto fresh = connect_client();
        QVERIFY(fresh);
        QVERIFY(old_gone.wait(5000));
        QCOMPARE(clients(), 1);
        server->on_modem_data(packet("to the new one"), false, 0);
        QCOMPARE(receive(*fresh, 14), QByteArray("to the new one"));
        QTRY_VERIFY(log_contents().contains(tcp(".shutdown_ok")));
        QVERIFY(log_contents().contains(QStringLiteral(").shutdown")));
    }

    // Closed from the program's side, the client goes and the server listens on.
    void shutdown_client_keeps_listening()
    {
        start_server();
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
        server->shutdown_client();
        QVERIFY(gone.wait(5000));
        QTRY_VERIFY(!server->has_client());
        auto next = connect_client();
        QVERIFY(next);
        QTRY_VERIFY(server->has_client());
    }

    // The server object outlives shutdown_server until its last socket is gone.
    void shutdown_server_waits_for_its_sockets()
    {
        start_server();
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        QSignalSpy gone(client.get(), &QTcpSocket::disconnected);
        server->shutdown_server();
        QVERIFY(server);
        QVERIFY(gone.wait(5000));
        QTRY_VERIFY(!server);
        QCOMPARE(clients(), 0);
        const QString log = log_contents();
        QVERIFY(log.indexOf(tcp(".shutdown_server")) < log.indexOf(tcp(".shutdown_server_ok")));
        QTcpSocket refused;
        refused.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!refused.waitForConnected(2000));
    }

    void busy_port_is_an_error()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        port = holder.serverPort();
        try {
            new Tcp_server(*link, link.get(), eui, Device_params{51, port});
            QFAIL("no error for a busy port");
        } catch (const Err &e) {
            QVERIFY(e.message().startsWith(
                QStringLiteral("Не удалось создать серверный сокет, слушающий порт TCP %1. Qt говорит: «").arg(port)));
        }
        QCOMPARE(link->alive, 1);
    }
    // What waits to be written to a client is capped: here nothing is handed to the system
    // between the groups, so the group that would pass the cap is the first one refused.
    void write_limit()
    {
        start_server();
        auto client = connect_client();
        QVERIFY(client);
        QTRY_VERIFY(server->has_client());
        const int group_bytes = 255 * 255;
        const int fitting = int(Uplink_writer::write_limit / group_bytes);
        quint32 fcnt = 1;
        for (int g = 0; g < fitting; ++g) {
            for (int n = 0; n < 255; ++n)
                server->on_modem_data(group_packet(n, 255, 255), true, fcnt++);
        }
        const QString cut = QStringLiteral("Клиент на порту %1 не принимает данные от радиомодема с "
                                           "EUI=0x0011223344556677: ожидают отправки ему %2 байтов, вместе с "
                                           "новыми было бы больше предельных 1048576. Соединение с клиентом "
                                           "разорвано.")
                                .arg(port)
                                .arg(fitting * group_bytes);
        QVERIFY(!log_contents().contains(cut));
        for (int n = 0; n < 255; ++n)
            server->on_modem_data(group_packet(n, 255, 255), true, fcnt++);
        QVERIFY2(log_contents().contains(cut), qPrintable(log_contents().right(600)));
        QTRY_VERIFY(!server->has_client());
        QTRY_COMPARE(clients(), 0);
    }

    // A server stays within 20 KiB; its repeat filter is part of the object, however full.
    void size_of_a_server()
    {
        QVERIFY(sizeof(Tcp_server) <= 20 * 1024);
        port = free_port();
        QVERIFY(port);
        const size_t before = mallinfo2().uordblks;
        server = new Tcp_server(*link, link.get(), eui, Device_params{51, port});
        const size_t after_construction = mallinfo2().uordblks;
        qInfo("Tcp_server: %zu bytes of object, %zu of heap at construction", sizeof(Tcp_server),
              after_construction - before);
        QVERIFY(after_construction - before <= 20 * 1024);
    }
};

QTEST_GUILESS_MAIN(Tst_tcp_server)
#include "tst_tcp_server.moc"
