#include "config/devices.h"
#include "lora_sim/uplink_packets.h"
#include "support/logged_cases.h"
#include "tcp/uplink_writer.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace {

using Outcome = Uplink_writer::Outcome;

const Eui eui = 0x0011223344556677ULL;
constexpr std::uint16_t port = 4001;

QByteArray piece(quint16 total_size, const QByteArray &data, quint8 number, quint8 packets)
{
    return make_uplink_packet(0x03, total_size, data, number, packets);
}

} // namespace

Q_DECLARE_METATYPE(Uplink_writer::Outcome)

class Tst_uplink_writer : public Logged_cases {
    Q_OBJECT

private:
    QTcpServer listener;
    QTcpSocket client;                // reads what the writer sends
    QTcpSocket *to_client = nullptr;  // the program's end of the connection

    void connect_client()
    {
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        client.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(client.waitForConnected(5000));
        QVERIFY(listener.waitForNewConnection(5000));
        to_client = listener.nextPendingConnection();
        QVERIFY(to_client);
    }

private slots:
    void init()
    {
        reset_process_state();
        log_per_test(dir);
    }
    void cleanup()
    {
        client.abort();
        delete to_client;
        to_client = nullptr;
        listener.close();
    }

    // A client that is gone takes nothing more; an empty group needs no write at all.
    void write_failure_ends_client()
    {
        QTcpSocket gone;
        Uplink_writer writer(eui, port);
        QCOMPARE(writer.add(gone, piece(0, "", 0, 1), false, 0), Outcome::fine);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("device not open")));
        QCOMPARE(writer.add(gone, piece(3, "abc", 0, 1), false, 0), Outcome::end_client);
        QVERIFY(log_contents().contains(QStringLiteral("Ошибка при записи в сокет для передачи клиенту данных, "
                                                       "принятых от радиомодема с EUI=0x0011223344556677.")));
    }

    void client_not_reading_is_cut_data()
    {
        QTest::addColumn<qint64>("waiting");
        QTest::addColumn<Outcome>("outcome");
        QTest::newRow("up to the limit") << Uplink_writer::write_limit - 3 << Outcome::fine;
        QTest::newRow("a byte over it") << Uplink_writer::write_limit - 2 << Outcome::cut_client;
    }

    // What waits to be written counts together with the new group; over the limit nothing of
    // the group is queued.
    void client_not_reading_is_cut()
    {
        QFETCH(qint64, waiting);
        QFETCH(Outcome, outcome);
        connect_client();
        // No event loop runs until the check: the bytes stay queued in the socket.
        QCOMPARE(to_client->write(QByteArray(int(waiting), 'w')), waiting);
        Uplink_writer writer(eui, port);
        QCOMPARE(writer.add(*to_client, piece(3, "abc", 0, 1), false, 0), outcome);
        const bool cut = outcome == Outcome::cut_client;
        QCOMPARE(to_client->bytesToWrite(), waiting + (cut ? 0 : 3));
        QCOMPARE(log_contents().contains(QStringLiteral("ожидают отправки ему %1 байтов, вместе с новыми было бы "
                                                        "больше предельных 1048576").arg(waiting)),
                 cut);
    }

    void outcomes_data()
    {
        QTest::addColumn<QList<QByteArray>>("packets");
        QTest::addColumn<QList<int>>("fcnts");  // -1: the message has none
        QTest::addColumn<QList<Outcome>>("outcomes");
        QTest::addColumn<QByteArray>("written");
        const Outcome fine = Outcome::fine;
        const Outcome end = Outcome::end_client;
        QTest::newRow("fault inside a group")
            << QList<QByteArray>{piece(6, "abc", 0, 2), piece(7, "defg", 1, 2)} << QList<int>{-1, -1}
            << QList<Outcome>{fine, end} << QByteArray();
        QTest::newRow("group lost after one was delivered")
            << QList<QByteArray>{piece(3, "abc", 0, 1), piece(4, "de", 0, 2), piece(4, "fg", 1, 2)}
            << QList<int>{1, 10, 30} << QList<Outcome>{fine, fine, end} << QByteArray("abc");
        QTest::newRow("fault before any group") << QList<QByteArray>{QByteArray("\x03\x00\x00", 3)} << QList<int>{-1}
                                                << QList<Outcome>{fine} << QByteArray();
        QTest::newRow("not a data packet") << QList<QByteArray>{QByteArray("\x01\x02\x03")} << QList<int>{-1}
                                           << QList<Outcome>{fine} << QByteArray();
        QTest::newRow("group of no data") << QList<QByteArray>{piece(0, "", 0, 1)} << QList<int>{-1}
                                          << QList<Outcome>{fine} << QByteArray();
        QTest::newRow("repeat of a delivered packet")
            << QList<QByteArray>{piece(3, "abc", 0, 1), piece(3, "abc", 0, 1)} << QList<int>{7, 7}
            << QList<Outcome>{fine, fine} << QByteArray("abc");
        QTest::newRow("group in pieces out of order")
            << QList<QByteArray>{piece(6, "def", 1, 2), piece(6, "abc", 0, 2)} << QList<int>{-1, -1}
            << QList<Outcome>{fine, fine} << QByteArray("abcdef");
        // The packets below are followed by the next client's, which starts afresh.
        QTest::newRow("half a group before") << QList<QByteArray>{piece(6, "abc", 0, 2)} << QList<int>{-1}
                                             << QList<Outcome>{fine} << QByteArray();
        QTest::newRow("the same packet before") << QList<QByteArray>{piece(4, "next", 0, 1)} << QList<int>{7}
                                                << QList<Outcome>{fine} << QByteArray("next");
    }

    // Only complete groups reach the client, each in one piece; a gap in its stream ends it.
    void outcomes()
    {
        QFETCH(QList<QByteArray>, packets);
        QFETCH(QList<int>, fcnts);
        QFETCH(QList<Outcome>, outcomes);
        QFETCH(QByteArray, written);
        connect_client();
        Uplink_writer writer(eui, port);
        for (int i = 0; i < packets.size(); ++i)
            QCOMPARE(writer.add(*to_client, packets[i], fcnts[i] >= 0, quint32(qMax(fcnts[i], 0))), outcomes[i]);
        // The next client's first group comes right after whatever was written: nothing else was.
        writer.reset();
        QCOMPARE(writer.add(*to_client, piece(4, "next", 0, 1), true, 7), Outcome::fine);
        QCOMPARE(receive(client, written.size() + 4), written + "next");
    }
};

QTEST_GUILESS_MAIN(Tst_uplink_writer)
#include "tst_uplink_writer.moc"
