#include "parser/text_parser.h"
#include "support/test_support.h"

#include <QtTest>

#include <QTemporaryDir>

#include "base/log.h"

namespace {

// Blanks and LF only; errors read "line:column: message".
template <typename T>
class Plain_parser : public Text_parser<T> {
public:
    explicit Plain_parser(const T *text)
    {
        this->cur = text;
        this->line_start = text;
    }

    void skip_spaces() override
    {
        for (;;) {
            if (*this->cur == ' ')
                ++this->cur;
            else if (*this->cur == '\n')
                this->new_line(this->cur + 1);
            else
                return;
        }
    }

    Err make_error(const QString &message) override
    {
        return Err(QStringLiteral("%1:%2: %3").arg(this->line).arg(this->column()).arg(message));
    }
};

std::basic_string<unsigned short> utf16(const char *ascii)
{
    std::basic_string<unsigned short> s;
    for (; *ascii; ++ascii)
        s.push_back(static_cast<unsigned char>(*ascii));
    return s;
}

} // namespace

class Tst_text_parser : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void empty_text();
    void begin_param_data();
    void begin_param();
    void begin_param_already_defined();
    void read_uint16_data();
    void read_uint16();
    void read_uint32_data();
    void read_uint32();
    void read_hex64_data();
    void read_hex64();
    void sixteen_bit_units();
    void hex_letter_value();

private:
    QTemporaryDir dir;
};

void Tst_text_parser::initTestCase()
{
    QVERIFY(dir.isValid());
    set_log_file_name(dir.filePath("test.log").toUtf8());
}

void Tst_text_parser::empty_text()
{
    const char text[] = "";
    Plain_parser<char> p(text);
    p.skip_spaces();
    QCOMPARE(p.cur, text);
}

void Tst_text_parser::begin_param_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("matched");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("offset");

    QTest::newRow("plain") << QByteArray("ws_url = 1") << true << QString() << 9;
    QTest::newRow("around lines") << QByteArray("ws_url\n=\n1") << true << QString() << 9;
    QTest::newRow("other name") << QByteArray("ws_login = 1") << false << QString() << 0;
    QTest::newRow("shorter text") << QByteArray("ws_ur") << false << QString() << 0;
    QTest::newRow("longer word") << QByteArray("ws_urlx = 1") << true
                                 << QString("1:7: ожидается символ «=».") << 6;
    QTest::newRow("no equals sign") << QByteArray("ws_url\n 1") << true
                                    << QString("2:2: ожидается символ «=».") << 8;
}

void Tst_text_parser::begin_param()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, matched);
    QFETCH(QString, error);
    QFETCH(int, offset);

    Plain_parser<char> p(text.constData());
    bool defined = false;
    bool result = false;
    QCOMPARE(error_of([&] { result = p.begin_param("ws_url", defined); }), error);
    QCOMPARE(p.cur - text.constData(), offset);
    if (error.isEmpty()) {
        QCOMPARE(result, matched);
        QCOMPARE(defined, matched);
    }
}

// A repeated name fails right after it, before "=" is looked for.
void Tst_text_parser::begin_param_already_defined()
{
    const char text[] = "ws_url 1";
    Plain_parser<char> p(text);
    bool defined = true;
    QCOMPARE(error_of([&] { p.begin_param("ws_url", defined); }),
             QString("1:7: параметр «ws_url» уже определён выше по тексту."));
}

void Tst_text_parser::read_uint16_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("offset");

    QTest::newRow("max") << QByteArray("60000;") << 60000 << QString() << 5;
    QTest::newRow("leading zeros") << QByteArray("0060000") << 60000 << QString() << 7;
    QTest::newRow("zero") << QByteArray("0") << 0 << QString() << 1;
    QTest::newRow("one above max") << QByteArray("60001") << 0
                                   << QString("1:5: число слишком большое (должно быть не более 60000)") << 4;
    QTest::newRow("far above max") << QByteArray("99999999999") << 0
                                   << QString("1:5: число слишком большое (должно быть не более 60000)") << 4;
    QTest::newRow("letter") << QByteArray("x") << 0 << QString("1:1: ожидается десятичное число") << 0;
    QTest::newRow("sign") << QByteArray("-1") << 0 << QString("1:1: ожидается десятичное число") << 0;
    QTest::newRow("end") << QByteArray("") << 0 << QString("1:1: ожидается десятичное число") << 0;
}

void Tst_text_parser::read_uint16()
{
    QFETCH(QByteArray, text);
    QFETCH(int, value);
    QFETCH(QString, error);
    QFETCH(int, offset);

    Plain_parser<char> p(text.constData());
    int result = -1;
    QCOMPARE(error_of([&] { result = p.read_uint16(60000); }), error);
    QCOMPARE(p.cur - text.constData(), offset);
    if (error.isEmpty())
        QCOMPARE(result, value);
}

void Tst_text_parser::read_uint32_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<uint>("min");
    QTest::addColumn<uint>("max");
    QTest::addColumn<uint>("value");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("offset");

    QTest::newRow("in range") << QByteArray("51)") << 1u << 9999u << 51u << QString() << 2;
    QTest::newRow("max") << QByteArray("9999") << 1u << 9999u << 9999u << QString() << 4;
    QTest::newRow("below min") << QByteArray(" 0 ") << 1u << 9999u << 0u
                               << QString("1:2: число слишком маленькое (должно быть не менее 1).") << 1;
    QTest::newRow("below min, several digits") << QByteArray("0000") << 1u << 9999u << 0u
                               << QString("1:1: число слишком маленькое (должно быть не менее 1).") << 0;
    QTest::newRow("above max") << QByteArray("10000") << 1u << 9999u << 0u
                               << QString("1:5: число слишком большое (должно быть не более 9999)") << 4;
    QTest::newRow("full range") << QByteArray("4294967295") << 0u << 4294967295u << 4294967295u
                                << QString() << 10;
    QTest::newRow("above 32 bits") << QByteArray("4294967296") << 0u << 4294967295u << 0u
                                   << QString("1:10: число слишком большое (должно быть не более 4294967295)") << 9;
    QTest::newRow("no digit") << QByteArray("=") << 1u << 9999u << 0u
                              << QString("1:1: ожидается десятичное число.") << 0;
}

void Tst_text_parser::read_uint32()
{
    QFETCH(QByteArray, text);
    QFETCH(uint, min);
    QFETCH(uint, max);
    QFETCH(uint, value);
    QFETCH(QString, error);
    QFETCH(int, offset);

    Plain_parser<char> p(text.constData());
    p.skip_spaces();
    uint result = 0;
    QCOMPARE(error_of([&] { result = p.read_uint32(min, max); }), error);
    QCOMPARE(p.cur - text.constData(), offset);
    if (error.isEmpty())
        QCOMPARE(result, value);
}

void Tst_text_parser::read_hex64_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<quint64>("value");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("offset");

    QTest::newRow("sixteen") << QByteArray("0011223344556677") << Q_UINT64_C(0x0011223344556677) << QString() << 16;
    QTest::newRow("mixed case") << QByteArray("ffffFFFFabcdABCD") << Q_UINT64_C(0xFFFFFFFFABCDABCD) << QString() << 16;
    QTest::newRow("seventeen") << QByteArray("00000000000000012") << Q_UINT64_C(1) << QString() << 16;
    QTest::newRow("fifteen") << QByteArray("  000000000000001)") << Q_UINT64_C(0)
                             << QString("1:3: ожидается 16-значное шестнадцатиричное число.") << 2;
    QTest::newRow("end of text") << QByteArray("  00") << Q_UINT64_C(0)
                                 << QString("1:3: ожидается 16-значное шестнадцатиричное число.") << 2;
    QTest::newRow("prefix") << QByteArray("0x00000000000001") << Q_UINT64_C(0)
                            << QString("1:1: ожидается 16-значное шестнадцатиричное число.") << 0;
}

void Tst_text_parser::read_hex64()
{
    QFETCH(QByteArray, text);
    QFETCH(quint64, value);
    QFETCH(QString, error);
    QFETCH(int, offset);

    Plain_parser<char> p(text.constData());
    p.skip_spaces();
    quint64 result = 0;
    QCOMPARE(error_of([&] { result = p.read_hex64(); }), error);
    QCOMPARE(p.cur - text.constData(), offset);
    if (error.isEmpty())
        QCOMPARE(result, value);
}

// The same readers over UTF-16 code units; units above 0xFF are never mistaken for ASCII.
void Tst_text_parser::sixteen_bit_units()
{
    auto text = utf16("\n  x=0123456789abcdef, 65535");
    text[3] = 0x178; // 'x' + 0x100
    Plain_parser<unsigned short> p(text.c_str());
    p.skip_spaces();
    QCOMPARE(error_of([&] { p.expect_char('x'); }), QString("2:3: ожидается символ «x»."));
    ++p.cur;
    p.expect_char('=');
    QCOMPARE(p.read_hex64(), Q_UINT64_C(0x0123456789ABCDEF));
    p.expect_char(',');
    p.skip_spaces();
    QCOMPARE(p.read_uint16(65535), std::uint16_t(65535));
    QCOMPARE(*p.cur, 0);

    auto wide_digit = utf16("1");
    wide_digit[0] = 0x131;
    Plain_parser<unsigned short> q(wide_digit.c_str());
    QCOMPARE(error_of([&] { q.read_uint16(10); }), QString("1:1: ожидается десятичное число"));
    QCOMPARE(error_of([&] { q.read_hex64(); }), QString("1:1: ожидается 16-значное шестнадцатиричное число."));
}

void Tst_text_parser::hex_letter_value()
{
    unsigned v = 99;
    QVERIFY(::hex_letter_value('a', v) && v == 10);
    QVERIFY(::hex_letter_value('F', v) && v == 15);
    QVERIFY(!::hex_letter_value('g', v));
    QVERIFY(!::hex_letter_value('0', v));
    QVERIFY(!::hex_letter_value(0x141, v)); // 'A' + 0x100
}

QTEST_GUILESS_MAIN(Tst_text_parser)
#include "tst_text_parser.moc"
