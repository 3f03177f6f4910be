#include "base/err.h"
#include "base/log.h"
#include "link/ws_parser.h"
#include "support/test_support.h"

#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

const QString unknown_type = QStringLiteral("нарушение формата JSON: значение неизвестного типа (не строка, не число, "
                                            "не объект и т.д.). Код первого символа значения: 0x%1.");
const QString trailing = QStringLiteral("после чтения из сообщения сервера QUVO-LoRa корректной структуры JSON в "
                                        "сообщении остались ещё какие-то непонятные символы.");

// Reads the whole text with the handler; the error text, or an empty string on success.
QString read(const QString &text, const std::function<void(Ws_parser &)> &handler)
{
    Ws_parser parser;
    try {
        parser.read_message(text.utf16(), [&] { handler(parser); });
    } catch (const Err &e) {
        return e.message();
    }
    return QString();
}

} // namespace

class Tst_ws_parser : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void line_counting_data();
    void line_counting();
    void skip_value_data();
    void skip_value();
    void deep_nesting_is_refused();
    void fields_data();
    void fields();
    void read_json_string_data();
    void read_json_string();
    void read_decimal_data();
    void read_decimal();
    void read_bool_data();
    void read_bool();
    void read_hex_bytes_data();
    void read_hex_bytes();
    void stops_at_zero_unit();

private:
    QTemporaryDir dir;
};

void Tst_ws_parser::initTestCase()
{
    QVERIFY(log_in(dir));
}

void Tst_ws_parser::line_counting_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("line");
    QTest::newRow("first line") << QStringLiteral("  {} x") << 6 << 1;
    QTest::newRow("CR LF is one break") << QStringLiteral("{}\r\n  x") << 3 << 2;
    QTest::newRow("LF CR is two") << QStringLiteral("{}\n\r  x") << 3 << 3;
    QTest::newRow("lone CRs") << QStringLiteral("\r{}\r\t x") << 3 << 3;
    QTest::newRow("LFs") << QStringLiteral("\n\n{}\nx") << 1 << 4;
    QTest::newRow("breaks inside the object") << QStringLiteral("{\r\n\"a\" :\n 1\r\n}\r\n\r\nzz") << 1 << 6;
    QTest::newRow("columns count UTF-16 units") << QStringLiteral("{\"\U0001F600\": 0} x") << 11 << 1;
}

// The trailing-characters error shows where the reader stood after the blanks.
void Tst_ws_parser::line_counting()
{
    QFETCH(QString, text);
    QFETCH(int, column);
    QFETCH(int, line);
    QCOMPARE(read(text, [](Ws_parser &p) { p.skip_value(); }), positioned(column, line, trailing));
}

void Tst_ws_parser::skip_value_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    const QString point = QStringLiteral("нарушение формата JSON: обнаружена точка, разделяющая целую и дробную части "
                                         "десятичного числа, но после неё нет ни одной цифры.");
    const QString exponent = QStringLiteral("нарушение формата JSON: обнаружен символ «E», разделяющий мантиссу и "
                                            "порядок десятичного числа, но после него нет ни одной цифры.");
    const QString minus =
        QStringLiteral("нарушение формата JSON: обнаружен минус, но после него не идёт ни одной цифры.");
    const QString unclosed = QStringLiteral("нарушение формата JSON: обнаружена двойная кавычка, начинающая строку, "
                                            "но в оставшейся части текста нет парной ей двойной кавычки, завершающей "
                                            "эту строку.");
    const QString next_field = QStringLiteral("ожидается запятая между полями объекта JSON, или фигурная скобка, "
                                              "завершающая объект. Вместо этого обнаружен символ 0x%1.");

    QTest::newRow("exponent") << QStringLiteral("1e5") << QString();
    QTest::newRow("fraction and signed exponent") << QStringLiteral("-0.25E-03") << QString();
    QTest::newRow("leading zeros") << QStringLiteral("007") << QString();
    QTest::newRow("words") << QStringLiteral("[true,false , null]") << QString();
    QTest::newRow("string with escapes") << QStringLiteral("\"a\\\"b\\\\\"") << QString();
    QTest::newRow("string with blanks and controls") << QStringLiteral("[\" ! \t\x01\\\"\\u0022\", \"\\\\\"]") << QString();
    QTest::newRow("nested") << QStringLiteral("{\"a\":[1,{\"b\":{}},[]],\"a\":\"x\"}") << QString();
    QTest::newRow("point without digits") << QStringLiteral("1.") << positioned(3, 1, point);
    QTest::newRow("point before exponent") << QStringLiteral("1.e5") << positioned(3, 1, point);
    QTest::newRow("exponent without digits") << QStringLiteral("1e") << positioned(3, 1, exponent);
    QTest::newRow("exponent sign without digits") << QStringLiteral("2E+}") << positioned(4, 1, exponent);
    QTest::newRow("lone minus") << QStringLiteral("-") << positioned(2, 1, minus);
    QTest::newRow("minus before a letter") << QStringLiteral("-a") << positioned(2, 1, minus);
    QTest::newRow("tru") << QStringLiteral("tru") << positioned(1, 1, unknown_type.arg(QLatin1String("0074")));
    QTest::newRow("nul in array") << QStringLiteral("[nul]") << positioned(2, 1, unknown_type.arg(QLatin1String("006e")));
    QTest::newRow("empty text") << QString() << positioned(1, 1, unknown_type.arg(QLatin1String("0000")));
    QTest::newRow("unclosed string") << QStringLiteral("\"abc") << positioned(2, 1, unclosed);
    QTest::newRow("backslash at the end") << QStringLiteral("[\"ab\\") << positioned(3, 1, unclosed);
    QTest::newRow("missing comma in object")
        << QStringLiteral("{\"a\":1 \"b\":2}") << positioned(8, 1, next_field.arg(QLatin1String("0022")));
    QTest::newRow("comma before brace")
        << QStringLiteral("{\"a\":1,}") << positioned(8, 1, QStringLiteral("ожидается символ «\"»."));
    QTest::newRow("missing colon") << QStringLiteral("{\"a\" 1}") << positioned(6, 1, QStringLiteral("ожидается символ «:»."));
    QTest::newRow("bad first field")
        << QStringLiteral("{1:2}")
        << positioned(2, 1,
                      QStringLiteral("ожидается кавычка, начинающая первое поле объекта JSON, или фигурная скобка, "
                                     "завершающая объект."));
    QTest::newRow("missing comma in array")
        << QStringLiteral("[1 2]")
        << positioned(4, 1,
                      QStringLiteral("ожидается запятая, разделяющая элементы массива JSON, или квадратная скобка, "
                                     "завершающая массив."));
}

void Tst_ws_parser::skip_value()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    QCOMPARE(read(text, [](Ws_parser &p) { p.skip_value(); }), error);
}

// Nesting is bounded well above what the protocol needs, so no message can exhaust the stack.
void Tst_ws_parser::deep_nesting_is_refused()
{
    const int limit = Ws_parser::max_depth;
    const QString deepest = QString(limit, QLatin1Char('[')) + QString(limit, QLatin1Char(']'));
    QCOMPARE(read(deepest, [](Ws_parser &p) { p.skip_value(); }), QString());

    const QString too_deep = QStringLiteral("нарушение формата JSON: слишком глубокая вложенность массивов и объектов "
                                            "(допускается не более 32 уровней).");
    const QString deeper = QString(limit, QLatin1Char('[')) + QStringLiteral("{}") + QString(limit, QLatin1Char(']'));
    QCOMPARE(read(deeper, [](Ws_parser &p) { p.skip_value(); }), positioned(limit + 1, 1, too_deep));

    QString huge;
    for (int i = 0; i < 100000; ++i)
        huge += QStringLiteral("{\"a\":[");
    QCOMPARE(read(huge, [](Ws_parser &p) { p.skip_value(); }), positioned(6 * 16 + 1, 1, too_deep));
}

void Tst_ws_parser::fields_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("error");
    const QString duplicate = QStringLiteral("поле \"%1\" уже есть в этой структуре JSON.");
    QTest::newRow("known field") << QStringLiteral("{\"a\":5}") << 5 << QString();
    QTest::newRow("empty object") << QStringLiteral(" { } ") << -1 << QString();
    QTest::newRow("blanks around the colon") << QStringLiteral("{ \"b\" :\r\n[1] ,\t\"a\"\n:\n7 }") << 7 << QString();
    QTest::newRow("longer name is unknown") << QStringLiteral("{\"ab\":1,\"a\":2}") << 2 << QString();
    QTest::newRow("shorter name is unknown") << QStringLiteral("{\"\":1}") << -1 << QString();
    QTest::newRow("unknown field twice") << QStringLiteral("{\"b\":1,\"b\":1,\"a\":3}") << 3 << QString();
    QTest::newRow("escaped name is unknown") << QStringLiteral("{\"\\u0061\":4}") << -1 << QString();
    QTest::newRow("known field twice") << QStringLiteral("{\"a\":1,\"a\":1}") << 1 << positioned(9, 1, duplicate.arg(QLatin1Char('a')));
    QTest::newRow("trailing text") << QStringLiteral("{\"a\":1}\n\r\n }") << 1 << positioned(2, 3, trailing);
    QTest::newRow("trailing blanks") << QStringLiteral("{\"a\":1} \t\r\n\n\r") << 1 << QString();
}

// The known-field pattern over one field "a" with a decimal value.
void Tst_ws_parser::fields()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    QFETCH(QString, error);
    int found = -1;
    const QString result = read(text, [&found](Ws_parser &p) {
        p.expect_char('{');
        bool seen = false;
        if (!p.first_field())
            return;
        do {
            if (p.match_field("a", seen))
                found = static_cast<int>(p.read_decimal(100));
            else
                p.skip_field();
        } while (p.next_field());
    });
    QCOMPARE(result, error);
    QCOMPARE(found, value);
}

void Tst_ws_parser::read_json_string_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("error");
    const QString u_end = QStringLiteral("в строке JSON обнаружена неправильная escape-последовательность \\uXXXX: "
                                         "ожидается очередная шестнадцатиричная цифра, обнаружен конец разбираемого "
                                         "текста.");
    const QString u_bad = QStringLiteral("в строке JSON обнаружена неправильная escape-последовательность \\uXXXX: "
                                         "вместо очередной шестнадцатиричной цифры обнаружен символ с кодом 0x%1.");
    const QString bad = QStringLiteral("неправильная escape-последовательность в строке JSON: после символа «\\» идёт "
                                       "недопустимый символ с кодом 0x%1.");
    const QString end = QStringLiteral("в строке JSON обнаружена неправильная escape-последовательность: сразу после "
                                       "символа «\\» обнаружен конец разбираемого текста.");
    const QString unclosed =
        QStringLiteral("не найдена закрывающая кавычка, соответствующая этой открывающей кавычке.");

    QTest::newRow("plain") << QStringLiteral("\"Модем 1\"") << QStringLiteral("Модем 1") << QString();
    QTest::newRow("empty") << QStringLiteral("\"\"") << QString() << QString();
    QTest::newRow("escapes")
        << QStringLiteral("\"a\\\"\\\\\\/\\b\\f\\n\\r\\tz\"") << QStringLiteral("a\"\\/\b\f\n\r\tz") << QString();
    QTest::newRow("unicode escapes") << QStringLiteral("\"\\u0041\\u00e9\\u00C9x\"") << QStringLiteral("AéÉx") << QString();
    QTest::newRow("surrogate pair as written") << QStringLiteral("\"\\ud83d\\uDE00\"") << QStringLiteral("\U0001F600") << QString();
    QTest::newRow("zero unit") << QStringLiteral("\"a\\u0000b\"") << QString::fromUtf16(u"a\0b", 3) << QString();
    QTest::newRow("raw control characters") << QStringLiteral("\"\t\x01\"") << QStringLiteral("\t\x01") << QString();
    QTest::newRow("unclosed") << QStringLiteral(" \"abc") << QString() << positioned(2, 1, unclosed);
    QTest::newRow("unclosed after escape") << QStringLiteral("\"a\\n") << QString() << positioned(1, 1, unclosed);
    QTest::newRow("backslash at the end") << QStringLiteral("\"a\\") << QString() << positioned(1, 1, end);
    QTest::newRow("short unicode escape") << QStringLiteral("\n\"\\u12") << QString() << positioned(1, 2, u_end);
    QTest::newRow("bad unicode digit") << QStringLiteral("\"\\u12x4\"") << QString() << positioned(1, 1, u_bad.arg(QLatin1String("0078")));
    QTest::newRow("bad escape") << QStringLiteral("\"\\q\"") << QString() << positioned(1, 1, bad.arg(QLatin1String("0071")));
    QTest::newRow("not a string")
        << QStringLiteral("5") << QString() << positioned(1, 1, QStringLiteral("ожидается строка в двойных кавычках."));
}

void Tst_ws_parser::read_json_string()
{
    QFETCH(QString, text);
    QFETCH(QString, value);
    QFETCH(QString, error);
    QString found;
    QCOMPARE(read(text, [&found](Ws_parser &p) { p.read_required_json_string(found); }), error);
    QCOMPARE(found, value);
}

void Tst_ws_parser::read_decimal_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("limit");
    QTest::addColumn<uint>("value");
    QTest::addColumn<QString>("error");
    const QString too_big = QStringLiteral("число слишком большое (должно быть не более %1)");
    QTest::newRow("at the limit") << QStringLiteral("223") << 223u << 223u << QString();
    QTest::newRow("zero") << QStringLiteral("0") << 223u << 0u << QString();
    QTest::newRow("leading zeros") << QStringLiteral("000223") << 223u << 223u << QString();
    QTest::newRow("over the limit") << QStringLiteral("224") << 223u << 0u << positioned(3, 1, too_big.arg(223));
    QTest::newRow("far over the limit") << QStringLiteral("3000") << 223u << 0u << positioned(3, 1, too_big.arg(223));
    QTest::newRow("letter") << QStringLiteral("a") << 223u << 0u << positioned(1, 1, QStringLiteral("ожидается десятичное число"));
    QTest::newRow("32-bit maximum") << QStringLiteral("4294967295") << 4294967295u << 4294967295u << QString();
    QTest::newRow("over 32 bits")
        << QStringLiteral("4294967296") << 4294967295u << 0u << positioned(10, 1, too_big.arg(4294967295u));
}

void Tst_ws_parser::read_decimal()
{
    QFETCH(QString, text);
    QFETCH(uint, limit);
    QFETCH(uint, value);
    QFETCH(QString, error);
    uint found = 0;
    QCOMPARE(read(text, [&](Ws_parser &p) { found = p.read_decimal(limit); }), error);
    QCOMPARE(found, value);
}

void Tst_ws_parser::read_bool_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("value");
    QTest::addColumn<QString>("error");
    QTest::newRow("true") << QStringLiteral("true") << true << QString();
    QTest::newRow("false") << QStringLiteral("false") << false << QString();
    QTest::newRow("fals") << QStringLiteral("fals") << false << positioned(1, 1, QStringLiteral("ожидается слово «true» или «false»."));
    QTest::newRow("quoted") << QStringLiteral("\"true\"") << false << positioned(1, 1, QStringLiteral("ожидается слово «true» или «false»."));
}

void Tst_ws_parser::read_bool()
{
    QFETCH(QString, text);
    QFETCH(bool, value);
    QFETCH(QString, error);
    bool found = false;
    QCOMPARE(read(text, [&found](Ws_parser &p) { found = p.read_bool(); }), error);
    QCOMPARE(found, value);
}

void Tst_ws_parser::read_hex_bytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("error");
    const QString odd = QStringLiteral("этот массив данных должен состоять из целого числа байтов (а значит, из "
                                       "чётного числа шестнадцатиричных цифр).");
    QTest::newRow("bytes") << QStringLiteral("\"0401aB\"") << QByteArray("\x04\x01\xab", 3) << QString();
    QTest::newRow("empty") << QStringLiteral("\"\"") << QByteArray() << QString();
    QTest::newRow("odd digits") << QStringLiteral("\"041\"") << QByteArray() << positioned(5, 1, odd);
    QTest::newRow("not a digit") << QStringLiteral("\"04x1\"") << QByteArray() << positioned(4, 1, QStringLiteral("ожидается символ «\"»."));
    QTest::newRow("no quote") << QStringLiteral("0401") << QByteArray() << positioned(1, 1, QStringLiteral("ожидается символ «\"»."));
}

void Tst_ws_parser::read_hex_bytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, value);
    QFETCH(QString, error);
    QByteArray found;
    QCOMPARE(read(text, [&found](Ws_parser &p) { p.read_hex_bytes(found); }), error);
    if (error.isEmpty())
        QCOMPARE(found, value);
}

// A zero unit ends the text, wherever it stands.
void Tst_ws_parser::stops_at_zero_unit()
{
    const QString text = QString::fromUtf16(u"{\"a\":1}\0 garbage", 16);
    QCOMPARE(read(text, [](Ws_parser &p) { p.skip_value(); }), QString());
    const QString cut = QString::fromUtf16(u"{\"a\":\"x\0\"}", 10);
    QVERIFY(!read(cut, [](Ws_parser &p) { p.skip_value(); }).isEmpty());
}

QTEST_GUILESS_MAIN(Tst_ws_parser)
#include "tst_ws_parser.moc"
