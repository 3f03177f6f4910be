// The checks of the soak tool: what counts as a passed, late, mixed or corrupted reply, and how a
// client counts a reply that a fault did or did not excuse.

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

QTEST_GUILESS_MAIN(Tst_soak)
#include "tst_soak.moc"
