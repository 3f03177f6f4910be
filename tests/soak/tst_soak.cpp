// The checks of the soak tool: what counts as a passed, late, mixed or corrupted reply, and how a
// client or a Modbus master counts a reply that a fault did or did not excuse.

#include "soak/modbus_master.h"
#include "soak/payload.h"
#include "soak/reply_stream.h"
#include "soak/soak_client.h"
#include "soak/soak_tally.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using Verdict = Reply_stream::Verdict;
Q_DECLARE_METATYPE(Verdict)

class Tst_soak : public QObject {
    Q_OBJECT

private slots:
    void payloads_differ_per_client_and_request();
    void reply_verdicts_data();
    void reply_verdicts();
    void late_reply_only_first_and_whole();
    void mixed_told_from_corrupted_data();
    void mixed_told_from_corrupted();
    void radio_fault_verdicts_data();
    void radio_fault_verdicts();
    void modbus_verdicts_data();
    void modbus_verdicts();
};

void Tst_soak::payloads_differ_per_client_and_request()
{
    const QByteArray a = request_payload(7, 1, 1, 255);
    QCOMPARE(request_payload(7, 1, 1, 255), a);
    QVERIFY(request_payload(7, 1, 2, 255) != a);
    QVERIFY(request_payload(7, 2, 1, 255) != a);
    QVERIFY(request_payload(8, 1, 1, 255) != a);
    int shortest = 3000, longest = 0;
    for (int request = 0; request < 2000; ++request) {
        const int size = request_payload(7, 3, request, 3000).size();
        shortest = std::min(shortest, size);
        longest = std::max(longest, size);
    }
    QVERIFY(shortest >= 1 && shortest < 100);
    QVERIFY(longest <= 3000 && longest > 2900);
}

// Bytes arrive in chunks; the verdict is the one after the last chunk.
void Tst_soak::reply_verdicts_data()
{
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<QByteArray>("wrong");

    QTest::newRow("whole at once") << QByteArray("abcdef") << QList<QByteArray>{"abcdef"} << Verdict::passed << QByteArray();
    QTest::newRow("in pieces") << QByteArray("abcdef") << QList<QByteArray>{"ab", "cd", "ef"} << Verdict::passed
                               << QByteArray();
    QTest::newRow("not yet") << QByteArray("abcdef") << QList<QByteArray>{"abc"} << Verdict::waiting << QByteArray();
    QTest::newRow("wrong byte seen at once") << QByteArray("abcdef") << QList<QByteArray>{"abX"} << Verdict::wrong
                                             << QByteArray("X");
    QTest::newRow("wrong last byte") << QByteArray("abcdef") << QList<QByteArray>{"abcde", "Z"} << Verdict::wrong
                                     << QByteArray("Z");
    QTest::newRow("nothing awaited") << QByteArray() << QList<QByteArray>{"stray"} << Verdict::waiting << QByteArray();
}

void Tst_soak::reply_verdicts()
{
    QFETCH(QByteArray, expected);
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(Verdict, verdict);
    QFETCH(QByteArray, wrong);
    Reply_stream stream;
    stream.expect(expected);
    Verdict got = Verdict::waiting;
    for (const QByteArray &chunk : chunks) {
        stream.add(chunk);
        got = stream.check();
    }
    QCOMPARE(got, verdict);
    if (verdict == Verdict::wrong)
        QCOMPARE(stream.wrong_bytes(), wrong);
    QCOMPARE(stream.awaiting(), verdict != Verdict::passed && !expected.isEmpty());
}

void Tst_soak::late_reply_only_first_and_whole()
{
    Reply_stream stream;
    stream.tolerate_late("OLD");
    stream.expect("new");
    stream.add("OL");
    QCOMPARE(stream.check(), Verdict::waiting);
    stream.add("Dne");
    QCOMPARE(stream.check(), Verdict::waiting);
    QCOMPARE(stream.late_replies(), 1);
    stream.add("w");
    QCOMPARE(stream.check(), Verdict::passed);

    // The late reply is tolerated only before anything else.
    Reply_stream after;
    after.tolerate_late("OLD");
    after.expect("new");
    after.add("new");
    QCOMPARE(after.check(), Verdict::passed);
    after.expect("two");
    after.add("OLD");
    QCOMPARE(after.check(), Verdict::wrong);
    QCOMPARE(after.late_replies(), 0);

    // Cut short and followed by the awaited reply, it is wrong.
    Reply_stream cut;
    cut.tolerate_late("OLD");
    cut.expect("new");
    cut.add("OLnew");
    QCOMPARE(cut.check(), Verdict::wrong);
    QCOMPARE(cut.wrong_bytes(), QByteArray("OLnew"));

    // An awaited reply that happens to start like the late one is not held back.
    Reply_stream alike;
    alike.tolerate_late("OLD");
    alike.expect("O");
    alike.add("O");
    QCOMPARE(alike.check(), Verdict::passed);
}

void Tst_soak::mixed_told_from_corrupted_data()
{
    QTest::addColumn<QByteArray>("wrong");
    QTest::addColumn<bool>("mixed");

    const QByteArray earlier = request_payload(5, 0, 0, 255) + request_payload(5, 0, 0, 255);
    const QByteArray other_client = request_payload(5, 1, 4, 255) + request_payload(5, 1, 4, 255);
    QTest::newRow("tail of the same client's earlier request") << earlier.right(20) << true;
    QTest::newRow("another client's request") << other_client.mid(3, 30) << true;
    QTest::newRow("a copy of the awaited request itself") << request_payload(5, 0, 1, 255).left(10) << false;
    QTest::newRow("bytes of nobody") << QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08\x09", 9) << false;
    QTest::newRow("nothing") << QByteArray() << false;
}

void Tst_soak::mixed_told_from_corrupted()
{
    QFETCH(QByteArray, wrong);
    QFETCH(bool, mixed);
    Payload_history history;
    history.add(0, 0, request_payload(5, 0, 0, 255) + request_payload(5, 0, 0, 255));
    history.add(0, 1, request_payload(5, 0, 1, 255));
    history.add(1, 4, request_payload(5, 1, 4, 255) + request_payload(5, 1, 4, 255));
    QCOMPARE(history.belongs_elsewhere(wrong, 0, 1), mixed);
}

// What the stand-in for the program does with the client's first request; later ones it echoes.
enum class Answer { echo, silence, close };
Q_DECLARE_METATYPE(Answer)

// A lost packet dooms the reply: whether the program closes the connection (the client had a
// group before) or keeps it silent (the group is only dropped), the reply is lost to the fault and
// the client goes on on a new connection. A restart excuses nothing: a reply it cost is a failure.
void Tst_soak::radio_fault_verdicts_data()
{
    QTest::addColumn<bool>("packet_lost");
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<int>("passed");
    QTest::addColumn<int>("lost_to_faults");
    QTest::addColumn<int>("lost");
    QTest::addColumn<int>("connections");

    QTest::newRow("packet lost, group dropped") << true << Answer::silence << 1 << 1 << 0 << 2;
    QTest::newRow("packet lost, client disconnected") << true << Answer::close << 1 << 1 << 0 << 2;
    QTest::newRow("restart, replies whole") << false << Answer::echo << 2 << 0 << 0 << 1;
    QTest::newRow("restart, reply never came") << false << Answer::silence << 1 << 0 << 1 << 2;
    QTest::newRow("restart, client disconnected") << false << Answer::close << 1 << 0 << 1 << 2;
}

void Tst_soak::radio_fault_verdicts()
{
    QFETCH(bool, packet_lost);
    QFETCH(Answer, answer);
    QFETCH(int, passed);
    QFETCH(int, lost_to_faults);
    QFETCH(int, lost);
    QFETCH(int, connections);

    QTcpServer program;
    QVERIFY(program.listen(QHostAddress::LocalHost));
    QPointer<QTcpSocket> first;
    int accepted = 0;
    connect(&program, &QTcpServer::newConnection, &program, [&] {
        QTcpSocket *peer = program.nextPendingConnection();
        if (++accepted == 1)
            first = peer;
        connect(peer, &QTcpSocket::readyRead, peer, [peer, &first, answer] {
            const QByteArray request = peer->readAll();
            if (peer != first || answer == Answer::echo)
                peer->write(request);
        });
    });
    Soak_tally tally;
    Payload_history history;
    Client_setup setup;
    setup.requests = 2;
    setup.reply_timeout_ms = packet_lost ? 30000 : 300;
    Soak_client client(0, program.serverPort(), setup, tally, history);
    QSignalSpy served(&client, &Soak_client::served);
    QSignalSpy finished(&client, &Soak_client::finished);
    client.start();
    QTRY_VERIFY_WITH_TIMEOUT(tally.sent >= 1 && first, 10000);
    if (packet_lost)
        client.give_up_reply(answer == Answer::close ? 30000 : 200);
    if (answer == Answer::close)
        first->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QCOMPARE(tally.passed, qint64(passed));
    QCOMPARE(tally.lost_to_faults, qint64(lost_to_faults));
    QCOMPARE(tally.lost, qint64(lost));
    QCOMPARE(tally.unexplained_closes, qint64(0));
    QCOMPARE(accepted, connections);
    // Only a reply on a connection that no fault doomed tells that the client is served again.
    QCOMPARE(served.count(), passed);
}

// How the stand-in gateway answers the requests that came in one read.
enum class Gateway { in_order, reversed, ids_swapped, first_timed_out };
Q_DECLARE_METATYPE(Gateway)

// Replies may come in any order, but each must carry its own request's transaction id; a gateway
// exception counts as a failure unless a fault dooms the master.
void Tst_soak::modbus_verdicts_data()
{
    QTest::addColumn<Gateway>("gateway");
    QTest::addColumn<bool>("doomed");
    QTest::addColumn<int>("passed");
    QTest::addColumn<int>("mismatched");
    QTest::addColumn<int>("unexcused");
    QTest::addColumn<int>("lost_to_faults");

    QTest::newRow("in order") << Gateway::in_order << false << 8 << 0 << 0 << 0;
    QTest::newRow("out of order") << Gateway::reversed << false << 8 << 0 << 0 << 0;
    QTest::newRow("transaction ids swapped") << Gateway::ids_swapped << false << 6 << 2 << 0 << 0;
    QTest::newRow("time-out exception") << Gateway::first_timed_out << false << 7 << 0 << 1 << 0;
    QTest::newRow("time-out exception, doomed") << Gateway::first_timed_out << true << 7 << 0 << 0 << 1;
}

void Tst_soak::modbus_verdicts()
{
    QFETCH(Gateway, gateway);
    QFETCH(bool, doomed);
    QFETCH(int, passed);
    QFETCH(int, mismatched);
    QFETCH(int, unexcused);
    QFETCH(int, lost_to_faults);

    QTcpServer port;
    QVERIFY(port.listen(QHostAddress::LocalHost));
    QVector<quint16> registers(64, 0);
    bool first = true;
    QVector<QByteArray> replies;
    const auto word = [](const QByteArray &bytes, int at) { return quint8(bytes.at(at)) << 8 | quint8(bytes.at(at + 1)); };
    const auto execute = [&](const QByteArray &pdu) {
        const int start = word(pdu, 1);
        const int count = word(pdu, 3);
        QByteArray reply = pdu.left(5);
        if (pdu.at(0) == 6) {
            registers[start] = quint16(count);
        } else if (pdu.at(0) == 16) {
            for (int i = 0; i < count; ++i)
                registers[start + i] = quint16(word(pdu, 6 + 2 * i));
        } else {
            reply = QByteArray(1, char(3)) + char(2 * count);
            for (int i = start; i < start + count; ++i)
                reply += char(registers.at(i) >> 8) + QByteArray(1, char(registers.at(i) & 0xFF));
        }
        if (gateway == Gateway::first_timed_out && std::exchange(first, false))
            reply = QByteArray(1, char(pdu.at(0) | 0x80)) + char(0x0B);
        return reply;
    };
    connect(&port, &QTcpServer::newConnection, &port, [&] {
        QTcpSocket *peer = port.nextPendingConnection();
        connect(peer, &QTcpSocket::readyRead, peer, [&, peer] {
            const QByteArray bytes = peer->readAll();
            for (int at = 0; at + 7 <= bytes.size(); at += 6 + word(bytes, at + 4)) {
                const QByteArray pdu = execute(bytes.mid(at + 7, word(bytes, at + 4) - 1));
                replies.append(bytes.mid(at, 4) + char(0) + char(1 + pdu.size()) + bytes.at(at + 6) + pdu);
            }
            // Both outstanding requests are held until both have come.
            if ((gateway == Gateway::reversed || gateway == Gateway::ids_swapped) && replies.size() < 2)
                return;
            if (gateway == Gateway::reversed)
                std::reverse(replies.begin(), replies.end());
            if (gateway == Gateway::ids_swapped && std::exchange(first, false)) {
                const QByteArray id = replies.at(0).left(2);
                replies[0].replace(0, 2, replies.at(1).left(2));
                replies[1].replace(0, 2, id);
            }
            for (const QByteArray &reply : std::exchange(replies, {}))
                peer->write(reply);
        });
    });
    Soak_tally tally;
    Master_setup setup;
    setup.requests = 8;
    setup.pipeline = 2;
    Modbus_master master(0, port.serverPort(), setup, tally);
    QSignalSpy finished(&master, &Modbus_master::finished);
    if (doomed)
        master.doom();
    master.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    QCOMPARE(tally.sent, qint64(8));
    QCOMPARE(tally.passed, qint64(passed));
    QCOMPARE(tally.mismatched, qint64(mismatched));
    QCOMPARE(tally.unexcused_exceptions, qint64(unexcused));
    QCOMPARE(tally.lost_to_faults, qint64(lost_to_faults));
    QCOMPARE(tally.exceptions.value(0x0B), qint64(gateway == Gateway::first_timed_out));
    QCOMPARE(tally.lost + tally.unexplained_closes, qint64(0));
}

QTEST_GUILESS_MAIN(Tst_soak)
#include "tst_soak.moc"
