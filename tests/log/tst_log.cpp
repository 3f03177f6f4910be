#include "base/err.h"
#include "base/log.h"
#include "support/test_support.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <stdexcept>

namespace {

const QRegularExpression stamp(QStringLiteral("^\\[\\d{1,2}\\.\\d{1,2}\\.\\d{4} \\d{1,2}:\\d\\d:\\d\\d\\.\\d\\d\\d\\] "));

QByteArray hex_of(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

} // namespace

class Tst_log : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void line_format();
    void text_kept_unchanged_in_one_entry();
    void data_dumps_data();
    void data_dumps();
    void size_limits_data();
    void size_limits();
    void printable_utf8_data();
    void printable_utf8();
    void unexpected_codes();
    void exceptions();
    void two_threads_log_whole_entries();

    void missing_directory_reports_failure();
    void null_prefix_data();
    void null_prefix();

private:
    // The entries written since init(), without their time stamps and line ends.
    QList<QByteArray> entries();

    QTemporaryDir dir;
    QString log_name;
};

void Tst_log::init()
{
    log_name = fresh_log_in(dir);
    QVERIFY(!log_name.isEmpty());
}

void Tst_log::cleanup()
{
    reset_log_file_name();
}

QList<QByteArray> Tst_log::entries()
{
    QFile file(log_name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString all = QString::fromUtf8(file.readAll());
    if (!all.endsWith(QStringLiteral("\n\n")))
        return {QByteArrayLiteral("entry without its two line ends")};
    all.chop(2);
    // A text may hold line feeds of its own: entries are told apart by their stamps.
    QList<QByteArray> result;
    for (QString entry : all.split(QRegularExpression(QStringLiteral("\n\n(?=\\[\\d{1,2}\\.\\d{1,2}\\.)")))) {
        if (!stamp.match(entry).hasMatch())
            return {QByteArrayLiteral("entry without its stamp")};
        result << entry.remove(stamp).toUtf8();
    }
    return result;
}

void Tst_log::line_format()
{
    QVERIFY(log_line(QStringLiteral("привет")));
    QFile file(log_name);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString all = QString::fromUtf8(file.readAll());
    QVERIFY2(stamp.match(all).hasMatch(), qPrintable(all));
    QVERIFY(all.endsWith(QStringLiteral("] привет\n\n")));
    QVERIFY(!all.startsWith(QChar(0xFEFF)));
}

void Tst_log::text_kept_unchanged_in_one_entry()
{
    log_text("first\nsecond\n");
    log_text("next");
    QCOMPARE(entries(), (QList<QByteArray>{"first\nsecond\n", "next"}));
}

void Tst_log::data_dumps_data()
{
    QTest::addColumn<bool>("as_text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("null_data");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("hex empty") << false << QByteArray() << false << QByteArray("p: {}");
    QTest::newRow("hex null") << false << QByteArray(3, 'x') << true << QByteArray("p: NULL");
    QTest::newRow("hex three") << false << QByteArray("\x01\xab\xff") << false << QByteArray("p: 0x{01 AB FF}");
    QTest::newRow("hex one") << false << QByteArray("\x00", 1) << false << QByteArray("p: 0x{00}");
    QTest::newRow("hex of text") << false << QByteArray("abc") << false << QByteArray("p: 0x{61 62 63}");

    QTest::newRow("text empty") << true << QByteArray() << false << QByteArray("p: «»");
    QTest::newRow("text null") << true << QByteArray(3, 'x') << true << QByteArray("p: NULL");
    QTest::newRow("text abc") << true << QByteArray("abc") << false << QByteArray("p: «abc»");
    QTest::newRow("text cyrillic") << true << QByteArray("ток 5 А") << false << QByteArray("p: «ток 5 А»");
    QTest::newRow("text tab") << true << QByteArray("a\tb") << false << QByteArray("p: 0x{61 09 62}");
    QTest::newRow("text line feed") << true << QByteArray("a\n") << false << QByteArray("p: 0x{61 0A}");
    QTest::newRow("text opening quote") << true << QByteArray("«") << false << QByteArray("p: 0x{C2 AB}");
    QTest::newRow("text closing quote") << true << QByteArray("a»") << false << QByteArray("p: 0x{61 C2 BB}");
    QTest::newRow("text byte-order mark") << true << QByteArray("\xef\xbb\xbfx") << false
                                          << QByteArray("p: 0x{EF BB BF 78}");
}

void Tst_log::data_dumps()
{
    QFETCH(bool, as_text);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, null_data);
    const char *data = null_data ? nullptr : bytes.constData();
    if (as_text)
        log_utf8("p: ", data, std::size_t(bytes.size()));
    else
        log_data("p: ", data, std::size_t(bytes.size()));
    QTEST(entries().value(0), "expected");
}

void Tst_log::size_limits_data()
{
    QTest::addColumn<bool>("as_text");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("shown");
    QTest::addColumn<bool>("cut");

    QTest::newRow("hex 100000") << false << 100000 << 100000 << false;
    QTest::newRow("hex 100001") << false << 100001 << 99999 << true;
    QTest::newRow("hex 250000") << false << 250000 << 99999 << true;
    // Long printable text is no longer written as text.
    QTest::newRow("text 300001") << true << 300001 << 99999 << true;
}

void Tst_log::size_limits()
{
    QFETCH(bool, as_text);
    QFETCH(int, size);
    QFETCH(int, shown);
    QFETCH(bool, cut);
    QByteArray bytes(size, 'a');
    for (int i = 0; i < size; i += 7)
        bytes[i] = 'z';
    if (as_text)
        log_utf8("p", bytes.constData(), std::size_t(size));
    else
        log_data("p", bytes.constData(), std::size_t(size));
    const QByteArray expected =
        "p0x{" + hex_of(bytes.left(shown)) + (cut ? QByteArray("...}") : QByteArray("}"));
    const QByteArray entry = entries().value(0);
    QCOMPARE(entry.size(), expected.size());
    QVERIFY(entry == expected);
}

void Tst_log::printable_utf8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("printable");

    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("ascii") << QByteArray("Hello, world! ~") << true;
    QTest::newRow("two-byte") << QByteArray("Ёж ©") << true;
    QTest::newRow("three-byte") << QByteArray("€ ₽") << true;
    QTest::newRow("four-byte") << QByteArray("\xf0\x9f\x98\x80") << true;
    QTest::newRow("no-break space") << QByteArray("\xc2\xa0") << true;
    QTest::newRow("control") << QByteArray("a\x1f") << false;
    QTest::newRow("delete") << QByteArray("\x7f") << false;
    QTest::newRow("lone continuation") << QByteArray("\x80") << false;
    QTest::newRow("c1 control") << QByteArray("\xc2\x85") << false;
    QTest::newRow("two-byte cut") << QByteArray("a\xd0") << false;
    QTest::newRow("two-byte bad tail") << QByteArray("\xd0\x41") << false;
    QTest::newRow("three-byte cut") << QByteArray("\xe2\x82") << false;
    QTest::newRow("line separator") << QByteArray("\xe2\x80\xa8") << false;
    QTest::newRow("paragraph separator") << QByteArray("\xe2\x80\xa9") << false;
    QTest::newRow("four-byte cut") << QByteArray("\xf0\x9f\x98") << false;
    QTest::newRow("lead above f7") << QByteArray("\xf8\x80\x80\x80") << false;
    QTest::newRow("four-byte bad tail") << QByteArray("\xf0\x9f\x41\x80") << false;
    QTest::newRow("overlong accepted") << QByteArray("\xc0\xaf") << true;
}

void Tst_log::printable_utf8()
{
    QFETCH(QByteArray, bytes);
    QTEST(is_printable_utf8(bytes.constData(), std::size_t(bytes.size())), "printable");
}

void Tst_log::unexpected_codes()
{
    QCOMPARE(unexpected_error_text(place_code(2, 121)), QStringLiteral("Неожиданная ошибка №2.121."));
    QCOMPARE(place_code(7, 154), 0x079A);
    log_unexpected(place_code(10, 0));
    QCOMPARE(entries(), QList<QByteArray>{"Неожиданная ошибка №10.0."});
}

void Tst_log::exceptions()
{
    const Err err(QStringLiteral("Ошибка в файле."));
    const Debug debug(place_code(9, 4));
    QCOMPARE(QByteArray(debug.what()), QByteArray("Error (class Err)."));
    QVERIFY(is_err(err));
    QVERIFY(!is_err(std::runtime_error("boom")));
    log_exception(err, "Обработчик.");
    log_exception(std::runtime_error("boom"), QStringLiteral("Обработчик."));
    log_exception(std::runtime_error("x"), static_cast<const char *>(nullptr));
    QCOMPARE(entries(), (QList<QByteArray>{"Ошибка в файле.", "Неожиданная ошибка №9.4.", "Обработчик.",
                                           "Обработчик. Ошибка (std::exception): «boom».",
                                           "Exception handler (NULL). Ошибка (std::exception): «x»."}));
}

// Lines of two threads never interleave.
void Tst_log::two_threads_log_whole_entries()
{
    constexpr int count = 300;
    const QByteArray long_a(2000, 'a');
    const QByteArray long_b(2000, 'b');
    auto writer = [](const QByteArray &text) {
        return QThread::create([text] {
            for (int i = 0; i < count; ++i)
                log_data(text.constData(), text.constData(), 3);
        });
    };
    QScopedPointer<QThread> a(writer(long_a));
    QScopedPointer<QThread> b(writer(long_b));
    a->start();
    b->start();
    QVERIFY(a->wait(60000));
    QVERIFY(b->wait(60000));
    const QList<QByteArray> written = entries();
    QCOMPARE(written.size(), 2 * count);
    QCOMPARE(written.count(long_a + "0x{61 61 61}"), count);
    QCOMPARE(written.count(long_b + "0x{62 62 62}"), count);
}

void Tst_log::missing_directory_reports_failure()
{
    set_log_file_name(QFile::encodeName(dir.filePath(QStringLiteral("missing/x.log"))));
    QVERIFY(!log_line(QStringLiteral("lost")));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("missing"))));
}

void Tst_log::null_prefix_data()
{
    QTest::addColumn<bool>("as_text");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("hex") << false << QByteArray("Неожиданная ошибка №0.1.");
    QTest::newRow("text") << true << QByteArray("Неожиданная ошибка №0.3.");
}

void Tst_log::null_prefix()
{
    QFETCH(bool, as_text);
    if (as_text)
        log_utf8(nullptr, "abc", 3);
    else
        log_data(nullptr, "abc", 3);
    QFETCH(QByteArray, expected);
    QCOMPARE(entries(), QList<QByteArray>{expected});
}

QTEST_GUILESS_MAIN(Tst_log)
#include "tst_log.moc"
