#include "base/log.h"
#include "config/settings.h"
#include "support/recording_tcp_link.h"
#include "support/test_support.h"
#include "tcp/client_reader.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// What a client sends, gathered until its pause and handed to the link as one message, over
// a loopback connection and with a recording stand-in for the link.

namespace {

constexpr Eui eui = 0x0011223344556677ULL;
constexpr std::uint16_t port = 4001;

class Origin : public Downlink_origin {
public:
    void downlink_refused() override {}
};

}

class Tst_client_reader : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QTcpServer listener;
    QTcpSocket sender;
    std::unique_ptr<QTcpSocket> client;
    Recording_tcp_link link;
    Origin origin;

    // The program's end of a fresh connection.
    void connect_pair()
    {
        sender.abort();
        sender.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(listener.waitForNewConnection(5000));
        client.reset(listener.nextPendingConnection());
        QVERIFY(client);
    }

    void send(const QByteArray &bytes)
    {
        sender.write(bytes);
        QVERIFY(sender.waitForBytesWritten(5000));
        QTRY_VERIFY(client->bytesAvailable() >= bytes.size());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    }

    void init()
    {
        log_per_test(dir);
        reset_process_state();
        link = Recording_tcp_link();
        connect_pair();
    }

    // A message past the frame limit ends the client; at bad_frames its bytes so far, the
    // limit and one more, are dumped.
    void overlong_message_ends_the_client()
    {
        settings.trace_tcp = Trace_level::bad_frames;
        Client_reader reader(4, port);
        send("123456");
        QVERIFY(!reader.read(*client));
        const QString log = log_contents();
        QVERIFY(log.contains(QStringLiteral("пришло сообщение, размер которого превышает предельный для этого "
                                            "клиента (4 байтов)")));
        QVERIFY(log.contains(QStringLiteral("Уже принятая часть сообщения, вызвавшего предыдущую ошибку: "
                                            "0x{31 32 33 34 35}")));
    }

    // Nothing to read where bytes were announced is a read error.
    void empty_read_ends_the_client()
    {
        Client_reader reader(51, port);
        QVERIFY(!reader.read(*client));
        QVERIFY(log_contents().contains(QStringLiteral("Ошибка при чтении принятых от клиента данных.")));
    }

    // A modem whose queue is full refuses the message: the client must go, and the log says
    // how many wait.
    void full_queue_refuses_the_message()
    {
        link.cap = 0;
        Client_reader reader(51, port);
        send("abc");
        QVERIFY(reader.read(*client));
        QVERIFY(!reader.hand_over(&link, &origin, eui));
        QVERIFY(log_contents().contains(QStringLiteral("уже ждут отправки 0 сообщений")));
    }

    // Reads until the pause make one message for the modem, with its origin; an empty one is
    // no message, and without a link the message is dropped.
    void reads_until_the_pause_make_one_message()
    {
        Client_reader reader(51, port);
        QVERIFY(reader.hand_over(&link, &origin, eui));
        QVERIFY(link.messages.isEmpty());
        send("ab");
        QVERIFY(reader.read(*client));
        send("cd");
        QVERIFY(reader.read(*client));
        QVERIFY(reader.hand_over(&link, &origin, eui));
        QCOMPARE(link.messages.size(), 1);
        QCOMPARE(link.messages[0].data, QByteArray("abcd"));
        QCOMPARE(link.messages[0].eui, eui);
        QCOMPARE(link.messages[0].origin, static_cast<Downlink_origin *>(&origin));
        send("e");
        QVERIFY(reader.read(*client));
        QVERIFY(reader.hand_over(nullptr, &origin, eui));
        QVERIFY(reader.hand_over(&link, &origin, eui));
        QCOMPARE(link.messages.size(), 1);
    }
};

QTEST_GUILESS_MAIN(Tst_client_reader)
#include "tst_client_reader.moc"
