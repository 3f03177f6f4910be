// The checks of the soak tool: what counts as a passed, late, mixed or corrupted reply.

#include "soak/payload.h"
#include "soak/reply_stream.h"

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

QTEST_GUILESS_MAIN(Tst_soak)
#include "tst_soak.moc"
