#include "link/send_queue.h"

#include <QtTest>

// The queue alone: no link, no sockets. A script drives it, one token at a time:
//   A, B, C   a message for that modem (numbered per modem: A1, A2 ...)
//   D         the device list is due
//   >         the command on the wire is answered and the next one taken
// and every ">" notes what went on the wire: A1, L (the device list) or - (nothing).

namespace {

class Origin : public Downlink_origin {
public:
    void downlink_refused() override {}
};

Eui modem_of(QChar letter)
{
    return Eui(0xA0 + (letter.unicode() - 'A'));
}

QString name_of(const Downlink &m)
{
    return QChar('A' + int(m.eui - 0xA0)) + QString::fromLatin1(m.data);
}

// Runs scripts on one queue; the numbers go on from one script to the next.
struct Driver {
    QString run(const QString &script, Downlink_origin *origin = nullptr);

    Send_queue &queue;
    QHash<QChar, int> numbers;
};

QString Driver::run(const QString &script, Downlink_origin *origin)
{
    QStringList sent;
    for (const QString &token : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QChar c = token.at(0);
        if (c == QLatin1Char('D')) {
            queue.request_devlist();
        } else if (c == QLatin1Char('>')) {
            queue.finish();
            switch (queue.take_next()) {
            case Send_queue::Command::none:
                sent << QStringLiteral("-");
                break;
            case Send_queue::Command::devlist:
                sent << QStringLiteral("L");
                break;
            case Send_queue::Command::downlink:
                sent << name_of(queue.wire_downlink());
                break;
            }
        } else {
            const QByteArray number = QByteArray::number(++numbers[c]);
            if (!queue.push(Downlink{modem_of(c), number, origin}))
                sent << QStringLiteral("refused ") + c + QString::fromLatin1(number);
        }
    }
    return sent.join(QLatin1Char(' '));
}

} // namespace

class Tst_send_queue : public QObject {
    Q_OBJECT

private slots:
    void order_data();
    void order();
    void cap_per_modem();
    void drop_and_detach();
    void clear_forgets_everything();
};

void Tst_send_queue::order_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("sent");

    QTest::newRow("one modem keeps its order") << "A A A > > > >" << "A1 A2 A3 -";
    QTest::newRow("two modems take turns") << "A A A B B > > > > >" << "A1 B1 A2 B2 A3";
    QTest::newRow("three modems") << "A A A B B C > > > > > > >" << "A1 B1 C1 A2 B2 A3 -";
    // B starts waiting while A's message is on the wire: B goes next, not after A's next one.
    QTest::newRow("a newcomer goes before the modem just served") << "A A A > B > > >" << "A1 B1 A2 A3";
    QTest::newRow("a newcomer joins the end of the turns") << "A A B B > C > > > >" << "A1 B1 C1 A2 B2";
    QTest::newRow("a modem that ran dry starts at the end") << "A B C > A > > > >" << "A1 B1 C1 A2 -";
    QTest::newRow("device list due goes first") << "A A A B > D > > > >" << "A1 L B1 A2 A3";
    QTest::newRow("device list asked twice goes once") << "A > D D > > >" << "A1 L - -";
    QTest::newRow("device list when idle") << "D > >" << "L -";
    QTest::newRow("device list after a list") << "A A > D > D > >" << "A1 L L A2";
    QTest::newRow("nothing") << ">" << "-";
}

void Tst_send_queue::order()
{
    QFETCH(QString, script);
    QFETCH(QString, sent);
    Send_queue queue;
    Driver d{queue, {}};
    QCOMPARE(d.run(script), sent);
}

// Only waiting messages count: the one on the wire does not, and other modems are not touched.
void Tst_send_queue::cap_per_modem()
{
    Send_queue queue(3);
    Driver d{queue, {}};
    QCOMPARE(queue.modem_cap(), 3);
    QCOMPARE(d.run("A A A A B"), QStringLiteral("refused A4"));
    QCOMPARE(queue.waiting(modem_of('A')), 3);
    QCOMPARE(queue.waiting(modem_of('B')), 1);
    QCOMPARE(queue.waiting(), 4);
    QCOMPARE(d.run("> A A"), QStringLiteral("A1 refused A6"));
    QCOMPARE(d.run("> > > > >"), QStringLiteral("B1 A2 A3 A5 -"));
    QCOMPARE(queue.waiting(), 0);

    Send_queue standard;
    QCOMPARE(standard.modem_cap(), Send_queue::default_modem_cap);
    QString script;
    for (int i = 0; i <= Send_queue::default_modem_cap; ++i)
        script += QStringLiteral("C ");
    Driver s{standard, {}};
    QCOMPARE(s.run(script), QStringLiteral("refused C%1").arg(Send_queue::default_modem_cap + 1));
}

void Tst_send_queue::drop_and_detach()
{
    Origin first;
    Origin second;
    Send_queue queue;
    Driver d{queue, {}};
    d.run("A A", &first);
    d.run("A B", &second);
    d.run("A C", &first);
    QCOMPARE(d.run(">"), QStringLiteral("A1"));
    QCOMPARE(queue.wire_downlink().origin, &first);

    // Dropped: first's waiting messages; the one on the wire stays but loses its origin.
    queue.drop_of(&first);
    QCOMPARE(queue.wire_downlink().origin, nullptr);
    QCOMPARE(queue.waiting(modem_of('A')), 1);
    QCOMPARE(queue.waiting(modem_of('C')), 0);
    QCOMPARE(d.run(">"), QStringLiteral("B1"));

    // Detached: still sent, in order, without origin.
    queue.detach_of(&second);
    QCOMPARE(queue.wire_downlink().origin, nullptr);
    QCOMPARE(d.run(">"), QStringLiteral("A3"));
    QCOMPARE(queue.wire_downlink().origin, nullptr);
    QCOMPARE(queue.finish().data, QByteArray("3"));

    // A message without origin is nobody's to drop.
    d.run("B");
    queue.drop_of(nullptr);
    QCOMPARE(queue.waiting(), 1);
}

void Tst_send_queue::clear_forgets_everything()
{
    Send_queue queue;
    Driver d{queue, {}};
    d.run("A A B D");
    QCOMPARE(d.run(">"), QStringLiteral("L"));
    d.run("D");
    queue.clear();
    QCOMPARE(queue.on_wire(), Send_queue::Command::none);
    QVERIFY(!queue.devlist_due());
    QCOMPARE(queue.waiting(), 0);
    QCOMPARE(d.run("B >"), QStringLiteral("B2"));
}

QTEST_GUILESS_MAIN(Tst_send_queue)
#include "tst_send_queue.moc"
