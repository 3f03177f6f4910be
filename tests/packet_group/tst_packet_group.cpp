#include "base/log.h"
#include "config/devices.h"
#include "support/test_support.h"
#include "tcp/fcnt_filter.h"
#include "tcp/packet_group.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <deque>
#include <map>
#include <random>

namespace {

using Outcome = Packet_group::Outcome;

const Eui eui = 0x00A1B2C3D4E5F607ULL;
const char packet_prefix[] = "Неправильный «пакет с данными от внешнего устройства, полученными по интерфейсу "
                             "RS-232 или RS-485» от радиомодема с EUI=0x00A1B2C3D4E5F607: ";
const char group_prefix[] = "«пакетов с данными от внешнего устройства, полученными по интерфейсу RS-232 или "
                            "RS-485» от радиомодема с EUI=0x00A1B2C3D4E5F607: ";

// One packet of type 0x03 (or 0x13) as a modem sends it.
QByteArray packet(unsigned total_size, unsigned number, unsigned total_packets, const QByteArray &data,
                  char type = 0x03)
{
    QByteArray p;
    p += type;
    if (type == 0x13)
        p += char(0x5A);
    p += char(total_size & 0xFF);
    p += char(total_size >> 8);
    p += char(data.size());
    p += char(number);
    p += char(total_packets);
    return p + data;
}

} // namespace

Q_DECLARE_METATYPE(Packet_group::Outcome)

class Tst_packet_group : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString log_path;

    Outcome add(Packet_group &g, const QByteArray &p, QByteArray *joined = nullptr, bool has_fcnt = false,
                quint32 fcnt = 0)
    {
        QByteArray out;
        const Outcome o = g.add(p, has_fcnt, fcnt, out);
        if (joined)
            *joined = out;
        return o;
    }

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        log_path = dir.filePath(QStringLiteral("log.txt"));
        QFile::remove(log_path);
        set_log_file_name(log_path.toUtf8());
    }

    void cleanupTestCase() { reset_log_file_name(); }

    // Out-of-order packets come out in packet order, in one piece.
    void joins_in_packet_order()
    {
        Packet_group g(eui);
        QByteArray joined;
        QCOMPARE(add(g, packet(9, 2, 3, "ghi")), Outcome::waiting);
        QCOMPARE(add(g, packet(9, 0, 3, "abc")), Outcome::waiting);
        QCOMPARE(add(g, packet(9, 1, 3, "def"), &joined), Outcome::complete);
        QCOMPARE(joined, QByteArray("abcdefghi"));
        QCOMPARE(g.received(), 0);
        QVERIFY(log_contents().isEmpty());
    }

    void single_packet_and_type_0x13()
    {
        Packet_group g(eui);
        QByteArray joined;
        QCOMPARE(add(g, packet(4, 0, 1, "wxyz"), &joined), Outcome::complete);
        QCOMPARE(joined, QByteArray("wxyz"));
        QCOMPARE(add(g, packet(5, 1, 2, "de", 0x13)), Outcome::waiting);
        QCOMPARE(add(g, packet(5, 0, 2, "abc", 0x13), &joined), Outcome::complete);
        QCOMPARE(joined, QByteArray("abcde"));
    }

    void group_of_size_zero()
    {
        Packet_group g(eui);
        QByteArray joined("x");
        QCOMPARE(add(g, packet(0, 1, 2, QByteArray())), Outcome::waiting);
        QCOMPARE(add(g, packet(0, 0, 2, QByteArray()), &joined), Outcome::complete);
        QVERIFY(joined.isEmpty());
        QCOMPARE(g.received(), 0);
        QVERIFY(log_contents().isEmpty());
    }

    void silently_ignored_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("type 0x23") << packet(1, 0, 1, "a", 0x23);
        QTest::newRow("type 0x07") << packet(1, 0, 1, "a", 0x07);
    }
    void silently_ignored()
    {
        QFETCH(QByteArray, data);
        Packet_group g(eui);
        QCOMPARE(add(g, data), Outcome::ignored);
        QVERIFY(log_contents().isEmpty());
        QVERIFY(!g.started());
    }

    void empty_data_is_logged_and_ignored()
    {
        Packet_group g(eui);
        QCOMPARE(add(g, packet(6, 0, 2, "abc")), Outcome::waiting);
        QCOMPARE(add(g, QByteArray(), nullptr, true, 1), Outcome::ignored);
        QVERIFY(log_contents().contains(
            QStringLiteral("От сервера QUVO-LoRa пришло сообщение \"rx\" с пустым полем \"data\" "
                           "(EUI=0x00A1B2C3D4E5F607). Сообщение игнорируется.")));
        QCOMPARE(g.received(), 1);
    }

    void repeats_by_fcnt()
    {
        Packet_group g(eui);
        const QByteArray p = packet(1, 0, 1, "a");
        QCOMPARE(add(g, p, nullptr, true, 7), Outcome::complete);
        QCOMPARE(add(g, p, nullptr, true, 7), Outcome::ignored);
        for (quint32 f = 1000; f < 1999; ++f)
            QCOMPARE(add(g, p, nullptr, true, f), Outcome::complete);
        // 999 others so far: 7 is still remembered; one more pushes it out.
        QCOMPARE(add(g, p, nullptr, true, 7), Outcome::ignored);
        QCOMPARE(add(g, p, nullptr, true, 1999), Outcome::complete);
        QCOMPARE(add(g, p, nullptr, true, 7), Outcome::complete);
        // And it goes on evicting the oldest: 1000, recorded right after 7, made room for 7.
        QCOMPARE(add(g, p, nullptr, true, 1000), Outcome::complete);
        QCOMPARE(add(g, p, nullptr, true, 1998), Outcome::ignored);
        QVERIFY(log_contents().isEmpty());
    }

    void without_fcnt_never_a_repeat()
    {
        Packet_group g(eui);
        const QByteArray p = packet(1, 0, 1, "a");
        QCOMPARE(add(g, p, nullptr, true, 0), Outcome::complete);
        QCOMPARE(add(g, p, nullptr, false, 0), Outcome::complete);
        QCOMPARE(add(g, p, nullptr, false, 0), Outcome::complete);
    }

    // A faulty packet's fcnt is remembered too, so its repeat is silent.
    void repeat_of_faulty_packet_is_silent()
    {
        Packet_group g(eui);
        QCOMPARE(add(g, packet(1, 1, 1, "a"), nullptr, true, 5), Outcome::dropped);
        QFile::remove(log_path);
        QCOMPARE(add(g, packet(1, 1, 1, "a"), nullptr, true, 5), Outcome::ignored);
        QVERIFY(log_contents().isEmpty());
    }

    void reset_forgets_everything()
    {
        Packet_group g(eui);
        QCOMPARE(add(g, packet(1, 0, 1, "a"), nullptr, true, 5), Outcome::complete);
        QCOMPARE(add(g, packet(6, 0, 2, "abc")), Outcome::waiting);
        g.reset();
        QVERIFY(!g.started());
        QCOMPARE(g.received(), 0);
        QCOMPARE(add(g, packet(1, 0, 1, "a"), nullptr, true, 5), Outcome::complete);
    }

    void faults_data()
    {
        QTest::addColumn<QList<QByteArray>>("packets");
        QTest::addColumn<QString>("message");
        const QString p = QString::fromUtf8(packet_prefix);
        const QString g = QString::fromUtf8(group_prefix);
        QTest::newRow("A: shorter than the header")
            << QList<QByteArray>{QByteArray("\x03\x01\x00\x00\x00", 5)}
            << p + QStringLiteral("фактическая длина пакета равна 5 байтов, т.е., в нём не помещается даже заголовок.");
        QTest::newRow("A: 0x13 shorter than its header")
            << QList<QByteArray>{QByteArray("\x13\x00\x01\x00\x00\x00", 6)}
            << p + QStringLiteral("фактическая длина пакета равна 6 байтов, т.е., в нём не помещается даже заголовок.");
        QByteArray wrong_size = packet(3, 0, 1, "abc");
        wrong_size[3] = 4;
        QTest::newRow("B: wrong data size")
            << QList<QByteArray>{wrong_size}
            << p + QStringLiteral("поле «размер данных в данном пакете» содержит значение 4, а фактически поле "
                                  "«данные» имеет размер 3 байтов.");
        QTest::newRow("C: number equal to the count")
            << QList<QByteArray>{packet(3, 3, 3, "a")}
            << p + QStringLiteral("в пакете указан номер 3 (считая с нуля), хотя в этом же пакете сказано, что "
                                  "общее количество пакетов равно 3.");
        QTest::newRow("C: inside a group")
            << QList<QByteArray>{packet(3, 0, 3, "a"), packet(3, 5, 3, "b")}
            << p + QStringLiteral("в пакете указан номер 5 (считая с нуля), хотя в этом же пакете сказано, что "
                                  "общее количество пакетов равно 3.");
        QTest::newRow("D: total size differs")
            << QList<QByteArray>{packet(300, 0, 3, "a"), packet(301, 2, 3, "b")}
            << p + QStringLiteral("поле «общий размер полученных через интерфейс данных» содержит значение 301, а "
                                  "в ранее полученных пакетах группы оно содержало значение 300. Номер пакета "
                                  "(указанный в заголовке пакета): 2.");
        QTest::newRow("E: packet count differs")
            << QList<QByteArray>{packet(3, 0, 3, "a"), packet(3, 1, 4, "b")}
            << p + QStringLiteral("поле «всего пакетов» содержит значение 4, а в ранее полученных пакетах группы "
                                  "оно содержало значение 3. Номер пакета (указанный в заголовке пакета): 1.");
        QTest::newRow("F: number repeated")
            << QList<QByteArray>{packet(3, 1, 3, "a"), packet(3, 1, 3, "b")}
            << p + QStringLiteral("в пакете указан номер 1, но пакет с таким номером в этой группе пакетов уже был.");
        QTest::newRow("G: more data than declared")
            << QList<QByteArray>{packet(3, 0, 2, "ab"), packet(3, 1, 2, "cd")}
            << QStringLiteral("Неправильная группа из 2 ") + g
                   + QStringLiteral("во всех пакетах группы поле «общий размер полученных через интерфейс данных» "
                                    "содержало значение 3, но фактически в этой группе содержится больше данных.");
        QTest::newRow("G: data in a group of size 0")
            << QList<QByteArray>{packet(0, 0, 2, ""), packet(0, 1, 2, "x")}
            << QStringLiteral("Неправильная группа из 2 ") + g
                   + QStringLiteral("во всех пакетах группы поле «общий размер полученных через интерфейс данных» "
                                    "содержало значение 0, но фактически в этой группе содержится больше данных.");
        QTest::newRow("I: less data than declared")
            << QList<QByteArray>{packet(10, 1, 2, "cd"), packet(10, 0, 2, "ab")}
            << QStringLiteral("Неправильная группа из 2 ") + g
                   + QStringLiteral("во всех пакетах группы поле «общий размер полученных через интерфейс данных» "
                                    "содержало значение 10, но фактически в этой группе содержится на 6 байтов "
                                    "меньше.");
        // The 0x03 packet is one byte short of a 0x13 header when the 0x13 one completes the group.
        QTest::newRow("8.38: types mixed")
            << QList<QByteArray>{packet(1, 0, 2, "", 0x03), packet(1, 1, 2, "a", 0x13)}
            << QStringLiteral("Неожиданная ошибка №8.38.");
        QTest::newRow("8.91: types mixed in a group of size 0")
            << QList<QByteArray>{packet(0, 0, 2, "", 0x03), packet(0, 1, 2, "", 0x13)}
            << QStringLiteral("Неожиданная ошибка №8.91.");
    }

    // The first faulty packet of a client only costs its group; the same fault after
    // a group was started for the client ends its service.
    void faults()
    {
        QFETCH(QList<QByteArray>, packets);
        QFETCH(QString, message);

        for (bool after_a_group : {false, true}) {
            QFile::remove(log_path);
            Packet_group g(eui);
            if (after_a_group)
                QCOMPARE(add(g, packet(1, 0, 1, "z")), Outcome::complete);
            Outcome o = Outcome::waiting;
            for (int i = 0; i < packets.size(); ++i) {
                o = add(g, packets[i]);
                if (i + 1 < packets.size())
                    QCOMPARE(o, Outcome::waiting);
            }
            const bool first_packet_fault = packets.size() == 1;
            QCOMPARE(o, first_packet_fault && !after_a_group ? Outcome::dropped : Outcome::lost);
            QCOMPARE(g.received(), 0);
            const QString log = log_contents();
            QVERIFY2(log.contains(message), qPrintable(log));
            QCOMPARE(log.count(QStringLiteral("\n\n")), 1);
        }
    }

    // After a dropped packet the next good one starts a fresh group.
    void fresh_group_after_a_dropped_packet()
    {
        Packet_group g(eui);
        QCOMPARE(add(g, packet(3, 4, 3, "a")), Outcome::dropped);
        QByteArray joined;
        QCOMPARE(add(g, packet(2, 1, 2, "b")), Outcome::waiting);
        QCOMPARE(add(g, packet(2, 0, 2, "a"), &joined), Outcome::complete);
        QCOMPARE(joined, QByteArray("ab"));
    }
    // Counters tell one group from the next: a group that lost a packet is abandoned, never
    // completed with packets of another. Steps are "number/packets/size:data@fcnt" ("@-": no
    // fcnt); the result lists every group written, and "lost" where the client must go.
    void group_identity_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QStringList>("written");
        QTest::addColumn<int>("abandoned");
        QTest::addColumn<int>("restarts");
        QTest::newRow("packet 0 lost, then two groups")
            << "1/3/6:cd@11 2/3/6:ef@12 0/3/6:AB@13 1/3/6:CD@14 2/3/6:EF@15 0/3/6:gh@16 1/3/6:ij@17 2/3/6:kl@18"
            << QStringList{"ABCDEF", "ghijkl"} << 1 << 0;
        QTest::newRow("packet 0 lost after a group") << "0/1/2:zz@5 1/3/6:cd@11 2/3/6:ef@12 0/3/6:AB@13"
                                                     << QStringList{"zz", "lost"} << 1 << 0;
        QTest::newRow("last packet lost") << "0/3/6:ab@10 1/3/6:cd@11 0/3/6:AB@13 1/3/6:CD@14 2/3/6:EF@15"
                                          << QStringList{"ABCDEF"} << 1 << 0;
        QTest::newRow("next group's packet first") << "1/2/4:cd@20 1/2/4:CD@22 0/2/4:AB@21"
                                                   << QStringList{"ABCD"} << 1 << 0;
        QTest::newRow("shuffled with repeats") << "2/3/6:ef@12 0/3/6:ab@10 2/3/6:ef@12 1/3/6:cd@11 0/3/6:ab@10"
                                               << QStringList{"abcdef"} << 0 << 0;
        QTest::newRow("counters with gaps") << "1/3/6:cd@33 0/3/6:ab@31 2/3/6:ef@35" << QStringList{"abcdef"} << 0 << 0;
        QTest::newRow("tail and head lost at the seam of two groups")
            << "0/3/6:ab@12 1/3/6:cd@13 2/3/6:EF@17 0/3/6:GH@18 1/3/6:IJ@19 2/3/6:KL@20"
            << QStringList{"GHIJKL"} << 2 << 0;
        QTest::newRow("counters too far apart") << "2/3/6:ef@50002 0/3/6:ab@1 1/3/6:cd@2 2/3/6:ef@3"
                                                << QStringList{"abcdef"} << 1 << 0;
        QTest::newRow("without counters, as before") << "1/3/6:cd@- 2/3/6:ef@- 0/3/6:AB@-"
                                                     << QStringList{"ABcdef"} << 0 << 0;
        QTest::newRow("counters only where present") << "1/3/6:cd@- 0/3/6:ab@10 2/3/6:ef@12"
                                                     << QStringList{"abcdef"} << 0 << 0;
        QTest::newRow("restart heard, true repeat dropped")
            << "0/1/2:ab@1 0/1/2:cd@2 0/1/2:XY@1 0/1/2:ZW@2 0/1/2:ZW@2 0/1/2:cd@3"
            << QStringList{"ab", "cd", "XY", "ZW", "cd"} << 0 << 1;
        QTest::newRow("restart during the first group") << "0/2/4:ab@5 0/2/4:XY@5 1/2/4:ZW@6"
                                                        << QStringList{"XYZW"} << 1 << 1;
        QTest::newRow("restart heard inside the group it belongs to")
            << "0/1/2:aa@9 0/1/2:bb@10 2/4/8:ef@11 3/4/8:gh@12 0/4/8:AB@9 1/4/8:CD@10"
            << QStringList{"aa", "bb", "ABCDefgh"} << 0 << 1;
        QTest::newRow("restart during a later group") << "0/1/2:aa@1 0/2/4:ab@5 0/2/4:XY@5"
                                                      << QStringList{"aa", "lost"} << 1 << 1;
    }
    void group_identity()
    {
        QFETCH(QString, steps);
        QFETCH(QStringList, written);
        QFETCH(int, abandoned);
        QFETCH(int, restarts);
        static const QRegularExpression step(QStringLiteral("^(\\d+)/(\\d+)/(\\d+):(\\w+)@(-|\\d+)$"));
        Packet_group g(eui);
        QStringList result;
        for (const QString &text : steps.split(QLatin1Char(' '))) {
            const QRegularExpressionMatch m = step.match(text);
            QVERIFY2(m.hasMatch(), qPrintable(text));
            const bool has_fcnt = m.captured(5) != QLatin1String("-");
            QByteArray joined;
            const Outcome o = add(g, packet(m.captured(3).toUInt(), m.captured(1).toUInt(), m.captured(2).toUInt(),
                                            m.captured(4).toLatin1()),
                                  &joined, has_fcnt, m.captured(5).toUInt());
            if (o == Outcome::complete)
                result.append(QString::fromLatin1(joined));
            if (o == Outcome::lost) {
                result.append(QStringLiteral("lost"));
                break;
            }
        }
        QCOMPARE(result, written);
        const QString log = log_contents();
        QCOMPARE(log.count(QStringLiteral("Неполная группа из ")), abandoned);
        QCOMPARE(log.count(QStringLiteral("начал отсчёт номеров кадров заново")), restarts);
        QVERIFY(!log.contains(QStringLiteral("Неправильн")));
    }

    // The filter's table against a plain model: the last 1000 distinct counters with their bytes.
    void filter_matches_a_plain_model()
    {
        Fcnt_filter filter;
        std::deque<quint32> order;
        std::map<quint32, QByteArray> seen;
        std::mt19937 random(7);
        char epoch = 0;  // a restarted modem sends other bytes under the old counters
        for (int i = 0; i < 200000; ++i) {
            const quint32 fcnt = random() % 3000;
            if (random() % 20000 == 0)
                ++epoch;
            const QByteArray bytes(1, epoch);
            Fcnt_filter::Verdict expected = Fcnt_filter::Verdict::fresh;
            const auto it = seen.find(fcnt);
            if (it != seen.end() && it->second == bytes) {
                expected = Fcnt_filter::Verdict::repeat;
            } else if (it != seen.end()) {
                expected = Fcnt_filter::Verdict::restart;
                seen.clear();
                order.clear();
            }
            if (expected != Fcnt_filter::Verdict::repeat) {
                if (order.size() == Fcnt_filter::capacity) {
                    seen.erase(order.front());
                    order.pop_front();
                }
                order.push_back(fcnt);
                seen[fcnt] = bytes;
            }
            if (filter.check(fcnt, bytes) != expected)
                QFAIL(qPrintable(QStringLiteral("step %1, fcnt %2").arg(i).arg(fcnt)));
        }
    }
};

QTEST_GUILESS_MAIN(Tst_packet_group)
#include "tst_packet_group.moc"
