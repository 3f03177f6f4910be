#include "parser/dst_utf16.h"
#include "parser/load_file.h"
#include "parser/utf8_file_parser.h"

#include "base/log.h"
#include "support/test_support.h"

#include <QtTest>

#include <QFile>
#include <QTemporaryDir>

namespace {

// A text in memory; errors read "line:column: message".
class Mem_parser : public Utf8_text_parser {
public:
    explicit Mem_parser(const QByteArray &text) : text(text) { begin_text(this->text.constData()); }

    Err make_error(const QString &message) override
    {
        return Err(QStringLiteral("%1:%2: %3").arg(line).arg(column()).arg(message));
    }

    int offset() const { return static_cast<int>(cur - text.constData()); }

private:
    QByteArray text;
};

const QString utf8_prefix = QStringLiteral("разбираемый текст не является текстом в кодировке UTF-8. ");

} // namespace

class Tst_utf8_text_parser : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void skip_spaces_data();
    void skip_spaces();
    void begin_text_data();
    void begin_text();
    void read_string_data();
    void read_string();
    void literal_keeps_line_of_last_part();
    void literals_read_one_after_another();
    void raw_destination_takes_control_characters();
    void no_literal();

    void load_data();
    void load();
    void size_limit();
    void file_parser_message();

private:
    QString write_file(const QString &name, const QByteArray &bytes);

    QTemporaryDir dir;
};

void Tst_utf8_text_parser::initTestCase()
{
    QVERIFY(dir.isValid());
    set_log_file_name(dir.filePath("test.log").toUtf8());
}

QString Tst_utf8_text_parser::write_file(const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// skip_spaces, then a decimal number: where the number is found, or the error.
void Tst_utf8_text_parser::skip_spaces_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("error");

    QTest::newRow("empty") << QByteArray("") << 1 << 1 << QString();
    QTest::newRow("blanks") << QByteArray(" \t 1") << 1 << 4 << QString();
    QTest::newRow("LF") << QByteArray("\n1") << 2 << 1 << QString();
    QTest::newRow("CR LF once") << QByteArray("\r\n1") << 2 << 1 << QString();
    QTest::newRow("LF CR twice") << QByteArray("\n\r1") << 3 << 1 << QString();
    QTest::newRow("VT FF") << QByteArray("\v\f 1") << 3 << 2 << QString();
    QTest::newRow("next line") << QByteArray("\xC2\x85" "1") << 2 << 1 << QString();
    QTest::newRow("line separators") << QByteArray("\xE2\x80\xA8\xE2\x80\xA9" "1") << 3 << 1 << QString();
    QTest::newRow("no-break space counts its bytes") << QByteArray("\xC2\xA0" "1") << 1 << 3 << QString();
    QTest::newRow("unicode blanks") << QByteArray("\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9F\xE2\x81\xA0"
                                                  "\xE3\x80\x80\xEF\xBB\xBF" "1")
                                    << 1 << 22 << QString();
    QTest::newRow("hash comment at end") << QByteArray("# x") << 1 << 4 << QString();
    QTest::newRow("comment not checked") << QByteArray("# \xFF\x01\xC0\n1") << 2 << 1 << QString();
    QTest::newRow("comment ends at CR") << QByteArray("#a\r1") << 2 << 1 << QString();
    QTest::newRow("comment ends at LF") << QByteArray("#a\n1") << 2 << 1 << QString();
    QTest::newRow("comment ends at CR LF") << QByteArray("//a\r\n1") << 2 << 1 << QString();
    QTest::newRow("comment ends at VT") << QByteArray("//a\v1") << 2 << 1 << QString();
    QTest::newRow("comment ends at FF") << QByteArray("#a\f1") << 2 << 1 << QString();
    QTest::newRow("comment ends at U+0085") << QByteArray("#a\xC2\x85" "1") << 2 << 1 << QString();
    QTest::newRow("comment ends at U+2028") << QByteArray("#a\xE2\x80\xA8" "1") << 2 << 1 << QString();
    QTest::newRow("comment ends at U+2029") << QByteArray("//a\xE2\x80\xA9" "1") << 2 << 1 << QString();
    QTest::newRow("single slash is a token") << QByteArray(" /1") << 1 << 2
        << QString("1:2: ожидается десятичное число");
    QTest::newRow("control byte") << QByteArray(" \x01") << 1 << 2
        << QString("1:2: неожиданный байт 0x01 (ожидаются пробельные символы или первый символ лексемы).");
    QTest::newRow("DEL") << QByteArray("\x7F") << 1 << 1
        << QString("1:1: неожиданный байт 0x7f (ожидаются пробельные символы или первый символ лексемы).");
    QTest::newRow("letter outside literal") << QByteArray("\xD0\x96") << 1 << 1
        << QString("1:1: неожиданный байт 0xd0 (ожидаются пробельные символы или первый символ лексемы).");
    QTest::newRow("C2 at end") << QByteArray("\xC2") << 1 << 2
        << QString("1:2: нарушение формата UTF-8: байт 0xc2, и за ним сразу конец разбираемого текста.");
    QTest::newRow("C2 then other") << QByteArray("\xC2\xA9") << 1 << 2
        << QString("1:2: неожиданный символ UTF-8: 0xc2 0xa9 (ожидаются пробельные символы или первый символ лексемы).");
    QTest::newRow("E2 80 at end") << QByteArray("\xE2\x80") << 1 << 3
        << QString("1:3: нарушение формата UTF-8: последовательность байтов 0xe2 0x80, и за ней сразу конец разбираемого текста.");
    QTest::newRow("E2 80 then other") << QByteArray("\xE2\x80\x8B") << 1 << 3
        << QString("1:3: неожиданный символ UTF-8: 0xe2 0x80 0x8b (ожидаются пробельные символы или первый символ лексемы).");
    QTest::newRow("E3 81") << QByteArray("\xE3\x81\x80") << 1 << 2
        << QString("1:2: неожиданный символ UTF-8: 0xe3 0x81 (ожидаются пробельные символы или первый символ лексемы).");
    QTest::newRow("EF BB BE") << QByteArray("\xEF\xBB\xBE") << 1 << 3
        << QString("1:3: неожиданный символ UTF-8: 0xef 0xbb 0xbe (ожидаются пробельные символы или первый символ лексемы).");
}

void Tst_utf8_text_parser::skip_spaces()
{
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(int, column);
    QFETCH(QString, error);

    Mem_parser p(text);
    int line_after = -1;
    int column_after = -1;
    const QString got = error_of([&] {
        p.skip_spaces();
        line_after = int(p.line);
        column_after = int(p.column());
        if (*p.cur)
            p.read_uint16(9);
    });
    QCOMPARE(got, error);
    if (line_after < 0) {
        line_after = int(p.line);
        column_after = int(p.column());
    }
    QCOMPARE(line_after, line);
    QCOMPARE(column_after, column);
    QVERIFY(p.line_start <= p.cur);
}

void Tst_utf8_text_parser::begin_text_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");

    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF" "x") << QString("1:1: ожидается десятичное число");
    QTest::newRow("byte order mark alone") << QByteArray("\xEF\xBB\xBF") << QString();
    QTest::newRow("plain") << QByteArray(" x") << QString("1:2: ожидается десятичное число");
    QTest::newRow("FF FE") << QByteArray("\xFF\xFE" "x\0", 4)
        << QString("1:1: неправильная кодировка. Текст должен быть в кодировке UTF-8 (или ASCII).");
    QTest::newRow("FE FF") << QByteArray("\xFE\xFF")
        << QString("1:1: неправильная кодировка. Текст должен быть в кодировке UTF-8 (или ASCII).");
}

void Tst_utf8_text_parser::begin_text()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);

    QCOMPARE(error_of([&] {
        Mem_parser p(text);
        p.skip_spaces();
        if (*p.cur)
            p.read_uint16(9);
    }), error);
}

void Tst_utf8_text_parser::read_string_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("error");

    const auto ok = [](const char *name, const QByteArray &text, const QString &value) {
        QTest::newRow(name) << text << value << QString();
    };
    const auto bad = [](const char *name, const QByteArray &text, const QString &error) {
        QTest::newRow(name) << text << QString() << error;
    };

    ok("ascii", "\"abc\"", "abc");
    ok("empty", "\"\"", "");
    ok("cyrillic", "\"Привет\"", "Привет");
    ok("joined over a comment line", "\"ab\"\n# comment\n  \"cd\"", "abcd");
    ok("joined on one line", "\"ab\" \"\" \"cd\"", "abcd");
    ok("simple escapes", "\"\\\"\\'\\/\\?\\\\\"", "\"'/?\\");
    ok("hex", "\"\\x41\"", "A");
    ok("hex with leading zeros", "\"\\x0000000041\"", "A");
    ok("hex takes every digit", "\"\\x41fg\"", QString(QChar(0x41F)) + "g");
    ok("octal", "\"\\101\"", "A");
    ok("octal stops after three digits", "\"\\1011\"", "A1");
    ok("short octal", "\"\\60x\"", "0x");
    ok("u escape", "\"\\u0416\"", "Ж");
    ok("U escape outside the basic plane", "\"\\U0001F600\"", QString::fromUcs4(U"\U0001F600"));
    ok("four bytes", "\"\xF0\x9F\x98\x80\"", QString::fromUcs4(U"\U0001F600"));
    ok("highest code point", "\"\\U0010FFFF\"", QString::fromUcs4(U"\U0010FFFF"));
    ok("stops after the literal", "\"a\" ", "a");
    // Literals longer than the cells a parser starts with, grown at every kind of character.
    ok("long ascii", "\"" + QByteArray(1000, 'a') + "\"", QString(1000, 'a'));
    ok("pair across the first growth", "\"" + QByteArray(255, 'a') + "\xF0\x9F\x98\x80\"",
       QString(255, 'a') + QString::fromUcs4(U"\U0001F600"));
    ok("escape across the first growth", "\"" + QByteArray(256, 'a') + "\\x41\"", QString(256, 'a') + "A");
    ok("long cyrillic in parts", "\"" + QString(300, QChar(0x416)).toUtf8() + "\" // x\n \"" + QString(300, QChar(0x436)).toUtf8() + "\"",
       QString(300, QChar(0x416)) + QString(300, QChar(0x436)));

    bad("no closing quote", "\"abc", "1:5: ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен конец разбираемого текста.");
    bad("cut by a line end", "\"ab\ncd\"", "1:4: ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен перевод строки (0x0a).");
    bad("cut by CR", "\"ab\r\"", "1:4: ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен перевод строки (0x0d).");
    bad("cut by U+0085", "\"ab\xC2\x85\"", "1:4: ожидается двойная кавычка, закрывающая строку, вместо неё обнаружен перевод строки (U+85).");
    bad("cut by U+2028", "\"ab\xE2\x80\xA8\"", "1:4: ожидается двойная кавычка, закрывающая строку, обнаружен перевод строки (U+2028).");
    bad("escaped tab", "\"a\\tb\"", "1:3: в строке обнаружен недопустимый символ с кодом 0x09 (эта строка не должна содержать управляющие символы).");
    bad("raw tab after a letter counted once", "\"Ж\t\"", "1:3: в строке обнаружен недопустимый символ с кодом 0x09 (эта строка не должна содержать управляющие символы).");
    bad("escaped line separator", "\"\\u2028\"", "1:2: в строке обнаружен недопустимый символ с кодом 0x2028 (эта строка не должна содержать управляющие символы).");
    bad("C1 control", "\"\xC2\x9F\"", "1:2: в строке обнаружен недопустимый символ с кодом 0x9f (эта строка не должна содержать управляющие символы).");
    bad("octal zero", "\"\\0\"", "1:2: в строке обнаружен недопустимый символ с кодом 0x00 (эта строка не должна содержать управляющие символы).");
    bad("hex too large", "\"\\x100000000\"", "1:2: в строке обнаружена неправильная escape-последовательность \\xHH...H: код символа слишком большой (не влезает в 32 бита).");
    bad("hex above unicode", "\"\\xFFFFFFFF\"", "1:2: внутри строкового литерала обнаружен недопустимый символ: U+ffffffff (этот символ невозможно перевести в кодировку UTF-16 - его код слишком большой).");
    bad("U above unicode", "\"\\U00110000\"", "1:2: внутри строкового литерала обнаружен недопустимый символ: U+110000 (этот символ невозможно перевести в кодировку UTF-16 - его код слишком большой).");
    bad("hex without digit", "\"\\xg\"", "1:2: в строке обнаружена неправильная escape-последовательность \\xHH...H: вместо первой шестнадцатиричной цифры кода символа обнаружен байт 0x67.");
    bad("hex at end", "\"\\x", "1:2: в строке обнаружена неправильная escape-последовательность \\xHH...H: вместо первой шестнадцатиричной цифры кода символа обнаружен конец разбираемого текста.");
    bad("surrogate pair as two escapes", "\"\\uD83D\\uDE00\"", "1:2: внутри строкового литерала обнаружен недопустимый символ: U+d83d (этот символ невозможно перевести в кодировку UTF-16 - в ней он используется для кодирования суррогатных пар).");
    bad("u short", "\"\\u12\"", "1:2: в строке обнаружена неправильная escape-последовательность \\uHHHH: вместо 3-й шестнадцатиричной цифры кода символа обнаружен байт 0x22.");
    bad("u at end", "\"\\u1", "1:2: в строке обнаружена неправильная escape-последовательность \\uHHHH: вместо 2-й шестнадцатиричной цифры кода символа обнаружен конец разбираемого текста.");
    bad("U short", "\"\\U0001F60\"", "1:2: в строке обнаружена неправильная escape-последовательность \\UHHHHHHHH: вместо 8-й шестнадцатиричной цифры кода символа обнаружен байт 0x22.");
    bad("U at end", "\"\\U", "1:2: в строке обнаружена неправильная escape-последовательность \\UHHHHHHHH: вместо 1-й шестнадцатиричной цифры кода символа обнаружен конец разбираемого текста.");
    bad("unknown escape", "\"ab\\q\"", "1:4: в строке обнаружена неправильная escape-последовательность: после escape-символа «\\» идёт байт 0x71.");
    bad("escape at end", "\"\\", "1:2: в строке обнаружена неправильная escape-последовательность: сразу после escape-символа «\\» обнаружен конец разбираемого текста.");
    bad("stray continuation byte", "\"Ж\x80\"", "1:3: " + utf8_prefix + "Внутри строкового литерала обнаружен байт 0x80 (который, согласно UTF-8, должен быть последующим байтом многобайтного символа), хотя перед ним не было первого байта многобайтного символа.");
    bad("forbidden byte", "\"\xF8\"", "1:2: " + utf8_prefix + "Внутри строкового литерала обнаружен байт 0xf8 (запрещённый текущей версией формата UTF-8).");
    bad("bad second byte", "\"\xD0\x41\"", "1:2: " + utf8_prefix + "Внутри строкового литерала, после байта 0xd0 (первый байт многобайтного символа, согласно UTF-8) обнаружен байт 0x41 (не являющийся вторым байтом многобайтного символа).");
    bad("end after first byte", "\"\xD0", "1:2: " + utf8_prefix + "Внутри строкового литерала, после байта 0xd0 (первый байт многобайтного символа, согласно UTF-8) обнаружен конец разбираемого текста (вместо второго байта многобайтного символа).");
    bad("overlong two bytes", "\"\xC0\x80\"", "1:2: " + utf8_prefix + "Внутри строкового литерала обнаружена недопустимая последовательность байтов: 0xc0 0x80 (стандарт UTF-8 не допускает кодирование символа избыточным количеством байтов).");
    bad("overlong three bytes", "\"\xE0\x80\xAF\"", "1:2: " + utf8_prefix + "Внутри строкового литерала обнаружена недопустимая последовательность байтов: 0xe0 0x80 0xaf (стандарт UTF-8 не допускает кодирование символа избыточным количеством байтов).");
    bad("overlong four bytes", "\"\xF0\x8F\xBF\xBF\"", "1:2: " + utf8_prefix + "Внутри строкового литерала обнаружена недопустимая последовательность байтов: 0xf0 0x8f 0xbf 0xbf (стандарт UTF-8 не допускает кодирование символа избыточным количеством байтов).");
    bad("encoded surrogate", "\"\xED\xA0\x80\"", "1:2: внутри строкового литерала обнаружен недопустимый символ: U+d800 (этот символ невозможно перевести в кодировку UTF-16 - в ней он используется для кодирования суррогатных пар).");
    bad("bad third byte", "\"\xE2\x82\x41\"", "1:2: " + utf8_prefix + "Внутри строкового литерала, после байтов 0xe2 и 0x82 (первый и второй байты не менее чем трёхбайтного символа, согласно UTF-8) обнаружен байт 0x41 (не являющийся третьим байтом символа).");
    bad("end after second byte", "\"\xE2\x82", "1:2: " + utf8_prefix + "Внутри строкового литерала, после байтов 0xe2 и 0x82 (первый и второй байты не менее чем трёхбайтного символа, согласно UTF-8) обнаружен конец разбираемого текста (вместо третьего байта символа).");
    bad("bad fourth byte", "\"\xF0\x9F\x98\x41\"", "1:2: " + utf8_prefix + "Внутри строкового литерала, после байтов 0xf0, 0x9f и 0x98 (первый, второй и третий байты четырёхбайтного символа, согласно UTF-8) обнаружен байт 0x41 (не являющийся четвёртым байтом символа).");
    bad("end after third byte", "\"\xF0\x9F\x98", "1:2: " + utf8_prefix + "Внутри строкового литерала, после байтов 0xf0, 0x9f и 0x98 (первый, второй и третий байты четырёхбайтного символа, согласно UTF-8) обнаружен конец разбираемого текста (вместо четвёртого байта символа).");
    bad("above unicode in four bytes", "\"\xF4\x90\x80\x80\"", "1:2: внутри строкового литерала обнаружен недопустимый символ: U+110000 (этот символ невозможно перевести в кодировку UTF-16 - его код слишком большой).");
    bad("error in second part", "\"ab\"\n \"c\\q\"", "2:4: в строке обнаружена неправильная escape-последовательность: после escape-символа «\\» идёт байт 0x71.");
    bad("bad byte after the literal", "\"ab\" \x01", "1:6: неожиданный байт 0x01 (ожидаются пробельные символы или первый символ лексемы).");
    bad("error far into a long literal", "\"" + QByteArray(600, 'a') + "\\q\"", "1:602: в строке обнаружена неправильная escape-последовательность: после escape-символа «\\» идёт байт 0x71.");
}

void Tst_utf8_text_parser::read_string()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, value);
    QFETCH(QString, error);

    Mem_parser p(text);
    QString result;
    QCOMPARE(error_of([&] { result = p.read_string(); }), error);
    if (error.isEmpty()) {
        QCOMPARE(result, value);
        QVERIFY(!result.isNull());
        // One allocation of exactly the needed size.
        QCOMPARE(result.capacity(), value.size());
        // The position stays right after the last closing quote.
        QCOMPARE(p.offset(), text.trimmed().size());
    }
    QVERIFY(p.line_start <= p.cur);
}

// The value ends on the line of its last part, and columns there count Cyrillic letters once.
void Tst_utf8_text_parser::literal_keeps_line_of_last_part()
{
    Mem_parser p("\"ab\" // first\n\"Жж\" x");
    QCOMPARE(p.read_string(), QString("abЖж"));
    QCOMPARE(int(p.line), 2);
    QCOMPARE(int(p.column()), 5);
    p.skip_spaces();
    QCOMPARE(int(p.column()), 6);
}

// The cells of a long literal are kept for the next one, and never leak into its result.
void Tst_utf8_text_parser::literals_read_one_after_another()
{
    const QString long_text(700, QChar(0x416));
    Mem_parser p("\"" + long_text.toUtf8() + "\" x \"ab\" x \"\" x \"" + long_text.toUtf8() + "\"");
    const QStringList expected{long_text, "ab", "", long_text};
    for (const QString &value : expected) {
        p.skip_spaces();
        if (*p.cur == 'x')
            p.expect_char('x');
        p.skip_spaces();
        const QString result = p.read_string();
        QCOMPARE(result, value);
        QCOMPARE(result.capacity(), value.size());
    }
}

void Tst_utf8_text_parser::raw_destination_takes_control_characters()
{
    Mem_parser p("\"a\\tb\\u0085\"");
    Dst_utf16 dst(p);
    QVERIFY(p.read_string_literal(dst));
    QCOMPARE(dst.size(), 4);
    QCOMPARE(dst.result, QString("a\tb") + QChar(0x85));
}

void Tst_utf8_text_parser::no_literal()
{
    Mem_parser p("  abc");
    p.skip_spaces();
    Dst_utf16 dst(p);
    QVERIFY(!p.read_string_literal(dst));
    QCOMPARE(p.offset(), 2);
    QCOMPARE(error_of([&] { p.read_string(); }), QString("1:3: здесь должна быть строка в двойных кавычках."));
}

void Tst_utf8_text_parser::load_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("error");

    QTest::newRow("empty") << QByteArray() << true << QString();
    QTest::newRow("text") << QByteArray("a = \"b\"\n") << true << QString();
    QTest::newRow("zero byte at start") << QByteArray("\0abc", 4) << true
        << QString("Файл «%1» не может быть текстовым: он содержит нулевые байты.");
    QTest::newRow("zero byte in a comment") << QByteArray("# a\0b\n", 6) << true
        << QString("Файл «%1» не может быть текстовым: он содержит нулевые байты.");
    QTest::newRow("zero byte at end") << QByteArray("abc\0", 4) << true
        << QString("Файл «%1» не может быть текстовым: он содержит нулевые байты.");
    QTest::newRow("missing") << QByteArray() << false << QString("Не найден файл «%1».");
}

void Tst_utf8_text_parser::load()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, found);
    QFETCH(QString, error);

    const QString name = found ? write_file("load.txt", bytes) : dir.filePath("missing.txt");
    QByteArray content("old");
    QCOMPARE(load_file(name, content), found);
    if (found)
        QCOMPARE(content, bytes);
    const QString expected = error.isEmpty() ? QString() : error.arg(name);
    QCOMPARE(error_of([&] { QCOMPARE(load_text_file(name, content), found); }),
             found ? expected : QString());
    QCOMPARE(error_of([&] { load_text_file_or_fail(name, content); }), expected);
    if (error.isEmpty()) {
        QCOMPARE(content, bytes);
        QCOMPARE(content.constData()[content.size()], '\0');
    } else {
        QVERIFY(content.isEmpty());
    }
}

// A sparse file of exactly the limit loads; one byte more is refused.
void Tst_utf8_text_parser::size_limit()
{
    const QString name = dir.filePath("big.bin");
    {
        QFile f(name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(MAX_FILE_SIZE));
    }
    QByteArray content;
    QVERIFY(load_file(name, content));
    QCOMPARE(content.size(), int(MAX_FILE_SIZE));
    content.clear();
    {
        QFile f(name);
        QVERIFY(f.resize(MAX_FILE_SIZE + 1));
    }
    QCOMPARE(error_of([&] { load_file(name, content); }),
             QString("Файл «%1» слишком большой (должен быть не длиннее 67108864 байтов).").arg(name));
    QFile::remove(name);

    QCOMPARE(error_of([&] { load_file(dir.path(), content); }).left(38),
             QString("Ошибка при попытке открыть файл «%1»: ").arg(dir.path()).left(38));
}

void Tst_utf8_text_parser::file_parser_message()
{
    const QString name = write_file("pos.cfg", "\xEF\xBB\xBF  \n\xC2\xA0 x");
    Utf8_file_parser p(name);
    p.skip_spaces();
    QCOMPARE(error_of([&] { p.expect_char('='); }),
             QString("Ошибка в 4-м символе 2-й строки файла «%1»: ожидается символ «=».").arg(name));

    const QString utf16 = write_file("utf16.cfg", "\xFF\xFEx");
    QCOMPARE(error_of([&] { Utf8_file_parser q(utf16); }),
             QString("Ошибка в 1-м символе 1-й строки файла «%1»: неправильная кодировка. Текст должен быть в кодировке UTF-8 (или ASCII).").arg(utf16));

    const QString empty = write_file("empty.cfg", "");
    Utf8_file_parser e(empty);
    e.skip_spaces();
    QCOMPARE(*e.cur, '\0');
}

QTEST_GUILESS_MAIN(Tst_utf8_text_parser)
#include "tst_utf8_text_parser.moc"
