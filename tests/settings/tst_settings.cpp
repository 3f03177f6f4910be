#include "config/devices.h"
#include "config/settings.h"

#include "base/err.h"
#include "base/log.h"

#include <QtTest>

#include <QFile>
#include <QTemporaryDir>

namespace {

const QString data_dir = QStringLiteral(QUVO_TEST_DATA);
const QByteArray required = "ws_url = \"ws://127.0.0.1:8002/\"\nws_login = \"user\"\nws_password = \"secret\"\n";

QString open_error_of(const QString &name)
{
    QFile f(name);
    f.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    return QString("error=%1, errorString=«%2».").arg(f.error()).arg(f.errorString());
}

} // namespace

class Tst_settings : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void full_file();
    void defaults();
    void layout_data();
    void layout();
    void certificate_data();
    void certificate();
    void network_keys_data();
    void network_keys();

    void errors_data();
    void errors();
    void missing_file();
    void example_files();
    void example_network_keys();

private:
    QString write_config(const QByteArray &text);
    QString read_error(const QString &name);

    QTemporaryDir dir;
};

void Tst_settings::initTestCase()
{
    QVERIFY(dir.isValid());
    set_log_file_name(dir.filePath("test.log").toUtf8());
}

void Tst_settings::init()
{
    reset_settings();
}

QString Tst_settings::write_config(const QByteArray &text)
{
    const QString name = dir.filePath("quvo_vevi2zar.cfg");
    QFile f(name);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        qFatal("cannot write the configuration");
    return name;
}

QString Tst_settings::read_error(const QString &name)
{
    try {
        read_config(name);
    } catch (const Err &e) {
        return e.message();
    }
    return QString();
}

void Tst_settings::full_file()
{
    const QString name = write_config(
        "\xEF\xBB\xBF# Подключение к серверу\n"
        "ws_url = \"wss://127.0.0.1:8002/\"   # адрес\n"
        "ws_login = \"оператор\" // логин\n"
        "ws_password = \"\\x41\\u0416\"\n"
        "ws_cert = ( der ) \"" + QByteArray(QUVO_TEST_DATA) + "/server.der\"\n"
        "ws_connect_timeout = 0\n"
        "ws_auth_timeout = 60000\n"
        "ws_reconnect_delay = 1\n"
        "ws_devlist_period = 20000\n"
        "ws_devlist_timeout = 2\n"
        "ws_data_timeout = 3\n"
        "devices_file = \"modems.cfg\"\n"
        "default_max_frame = 9999\n"
        "interframe_delay = 60000\n"
        "modbus_timeout = 1\n"
        "trace_ws = all\n"
        "trace_tcp = err\r\n");
    QCOMPARE(read_error(name), QString());
    QCOMPARE(settings.ws_url, QString("wss://127.0.0.1:8002/"));
    QCOMPARE(settings.ws_login, QString("оператор"));
    QCOMPARE(settings.ws_password, QString("AЖ"));
    QCOMPARE(settings.ws_cert_format, QSsl::Der);
    QCOMPARE(settings.ws_cert, QSslCertificate::fromPath(data_dir + "/server.pem").value(0));
    QCOMPARE(settings.ws_connect_timeout, std::uint16_t(0));
    QCOMPARE(settings.ws_auth_timeout, std::uint16_t(60000));
    QCOMPARE(settings.ws_reconnect_delay, std::uint16_t(1));
    QCOMPARE(settings.ws_devlist_period, std::uint16_t(20000));
    QCOMPARE(settings.ws_devlist_timeout, std::uint16_t(2));
    QCOMPARE(settings.ws_data_timeout, std::uint16_t(3));
    QCOMPARE(settings.devices_file, QString("modems.cfg"));
    QCOMPARE(settings.default_max_frame, 9999u);
    QCOMPARE(settings.interframe_delay, 60000u);
    QCOMPARE(settings.modbus_timeout, 1u);
    QCOMPARE(settings.trace_ws, Trace_level::all);
    QCOMPARE(settings.trace_tcp, Trace_level::err);
}

// Only the three required keys; an empty password counts as given.
void Tst_settings::defaults()
{
    settings.devices_file = "left over";
    settings.default_max_frame = 7;
    settings.interframe_delay = 7;
    QCOMPARE(read_error(write_config("ws_url = \"u\"\nws_login = \"l\"\nws_password = \"\"\n")), QString());
    QCOMPARE(settings.ws_password, QString(""));
    QVERIFY(settings.ws_cert.isNull());
    QCOMPARE(settings.ws_cert_format, QSsl::Pem);
    QCOMPARE(settings.ws_connect_timeout, std::uint16_t(10000));
    QCOMPARE(settings.ws_auth_timeout, std::uint16_t(3000));
    QCOMPARE(settings.ws_reconnect_delay, std::uint16_t(3000));
    QCOMPARE(settings.ws_devlist_period, std::uint16_t(10000));
    QCOMPARE(settings.ws_devlist_timeout, std::uint16_t(3000));
    QCOMPARE(settings.ws_data_timeout, std::uint16_t(3000));
    QCOMPARE(settings.devices_file, QString("devices.cfg"));
    QCOMPARE(settings.default_max_frame, 51u);
    QCOMPARE(settings.interframe_delay, 15u);
    QCOMPARE(settings.modbus_timeout, 10000u);
    QCOMPARE(settings.trace_ws, Trace_level::bad_frames);
    QCOMPARE(settings.trace_tcp, Trace_level::bad_frames);
}

void Tst_settings::layout_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("url");

    QTest::newRow("name, = and value on three lines") << QByteArray("ws_url\n=\n\"a\"\n") << "a";
    QTest::newRow("joined literals") << QByteArray("ws_url = \"ws://\" // scheme\n  # host next\n \"host\"\n") << "ws://host";
    QTest::newRow("blank lines and comments") << QByteArray("\n\n# x\n\tws_url=\"a\"#c\n\n") << "a";
    QTest::newRow("no line break at the end") << QByteArray("ws_url = \"a\"") << "a";
    QTest::newRow("unicode blanks") << QByteArray("\xC2\xA0ws_url\xE3\x80\x80=\xE2\x80\x80\"a\"\xE2\x80\xA8") << "a";
}

void Tst_settings::layout()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, url);
    // The required keys go first so that the row's layout ends the file.
    QCOMPARE(read_error(write_config("ws_login = \"l\"\nws_password = \"p\"\n" + text)), QString());
    QCOMPARE(settings.ws_url, url);
}

void Tst_settings::certificate_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("error");

    const QByteArray pem = "\"" + QByteArray(QUVO_TEST_DATA) + "/server.pem\"";
    const QByteArray der = "\"" + QByteArray(QUVO_TEST_DATA) + "/server.der\"";
    const QString pem_name = data_dir + "/server.pem";
    const QString der_name = data_dir + "/server.der";
    const QString missing = data_dir + "/missing.pem";
    // The value starts in column 11; errors stand just after the file name literal.
    const int after_pem = 11 + 6 + pem.size();
    const int after_missing = 11 + 6 + missing.size() + 2;

    QTest::newRow("PEM without parentheses") << pem << int(QSsl::Pem) << QString();
    QTest::newRow("pem") << "(pem) " + pem << int(QSsl::Pem) << QString();
    QTest::newRow("Pem") << "(Pem)" + pem << int(QSsl::Pem) << QString();
    QTest::newRow("DER") << "(DER) " + der << int(QSsl::Der) << QString();
    QTest::newRow("Der over lines") << "(\nDer\n)\n" + der << int(QSsl::Der) << QString();
    QTest::newRow("DER read as PEM") << "  " + der << int(QSsl::Pem)
        << QString("4:%1: Не удалось прочитать сертификат в формате PEM из файла «%2».").arg(13 + der.size()).arg(der_name);
    QTest::newRow("PEM read as DER") << "(der) " + pem << int(QSsl::Der)
        << QString("4:%1: Не удалось прочитать сертификат в формате DER из файла «%2».").arg(after_pem).arg(pem_name);
    QTest::newRow("missing file") << "(der) \"" + missing.toUtf8() + "\"" << int(QSsl::Der)
        << QString("4:%1: Ошибка при попытке открыть файл «%2», чтобы прочитать из него сертификат: %3")
               .arg(after_missing).arg(missing, open_error_of(missing));
    QTest::newRow("endless device file") << QByteArray("(der) \"/dev/zero\"") << int(QSsl::Der)
        << QString("4:28: Не удалось прочитать сертификат в формате DER из файла «/dev/zero».");
    QTest::newRow("unknown format") << QByteArray("( crt ) \"x\"") << int(QSsl::Pem)
        << QString("4:13: указан незнакомый формат сертификата. Знаю только «pem» и «der».");
    QTest::newRow("no closing parenthesis") << QByteArray("(pem \"x\"") << int(QSsl::Pem)
        << QString("4:16: ожидается символ «)».");
    QTest::newRow("no file name") << QByteArray("(pem)") << int(QSsl::Pem)
        << QString("5:1: здесь должна быть строка в двойных кавычках.");
}

void Tst_settings::certificate()
{
    QFETCH(QByteArray, value);
    QFETCH(int, format);
    QFETCH(QString, error);

    const QString name = write_config(required + "ws_cert = " + value + "\n");
    QCOMPARE(read_error(name),
             error.isEmpty() ? QString() : QString("Ошибка в %1-м символе %2-й строки файла «%3»: %4")
                                               .arg(error.section(':', 1, 1), error.section(':', 0, 0), name,
                                                    error.section(": ", 1)));
    QCOMPARE(int(settings.ws_cert_format), format);
    if (error.isEmpty()) {
        QVERIFY(!settings.ws_cert.isNull());
        QCOMPARE(settings.ws_cert, QSslCertificate::fromPath(data_dir + "/server.pem").value(0));
    }
}

void Tst_settings::network_keys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("allow");

    const QString any = "any";
    QTest::newRow("neither key: every address, anyone") << QByteArray() << any << "";
    QTest::newRow("listen on IPv4 loopback") << QByteArray("tcp_listen = 127.0.0.1\n") << "127.0.0.1" << "";
    QTest::newRow("listen on IPv6 loopback, comment") << QByteArray("tcp_listen=::1# only here\n") << "::1"
                                                      << "";
    QTest::newRow("listen on every IPv4 address") << QByteArray("tcp_listen = 0.0.0.0") << "0.0.0.0" << "";
    QTest::newRow("listen with a scope") << QByteArray("tcp_listen = fe80::1%eth0") << "fe80::1%eth0" << "";
    QTest::newRow("leading zeros are decimal") << QByteArray("tcp_listen = 010.000.000.001")
                                               << "10.0.0.1" << "";
    QTest::newRow("one network") << QByteArray("tcp_allow = 192.168.1.0/24") << any << "192.168.1.0/24";
    QTest::newRow("hosts and networks of both kinds") << QByteArray("tcp_allow = 10.0.0.5, ::1/128,0.0.0.0/0")
                                                      << any << "10.0.0.5/32 ::1/128 0.0.0.0/0";
    QTest::newRow("list over lines with comments")
        << QByteArray("tcp_allow = 10.0.0.0/8,   # office\n  192.168.0.0/16 ,\n\n// lab\n FD00::/8\ntcp_listen = ::1")
        << "::1" << "10.0.0.0/8 192.168.0.0/16 fd00::/8";
    QTest::newRow("comment right after a prefix") << QByteArray("tcp_allow = 127.0.0.1/32//loopback") << any
                                                  << "127.0.0.1/32";
    QTest::newRow("comment right after an address") << QByteArray("tcp_allow = ::1//loopback") << any << "::1/128";
    QTest::newRow("prefix with leading zeros") << QByteArray("tcp_allow = 10.0.0.0/008") << any << "10.0.0.0/8";
    QTest::newRow("IPv4 written as IPv6") << QByteArray("tcp_allow = ::ffff:192.168.1.0/120, ::ffff:10.0.0.1")
                                          << any << "192.168.1.0/24 10.0.0.1/32";
    QTest::newRow("every IPv6 address stays IPv6") << QByteArray("tcp_allow = ::/0") << any << "::/0";
}

// The two keys of the TCP side; a file without them keeps the ports open to everyone, as ever.
void Tst_settings::network_keys()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, listen);
    QFETCH(QString, allow);

    QCOMPARE(read_error(write_config(required + text)), QString());
    const QHostAddress expected = listen == "any" ? QHostAddress(QHostAddress::Any) : QHostAddress(listen);
    QCOMPARE(settings.tcp_listen.protocol(), expected.protocol());
    QCOMPARE(settings.tcp_listen.toString(), expected.toString());
    QStringList networks;
    for (const Ip_network &network : settings.tcp_allow)
        networks << network.address.toString() + '/' + QString::number(network.prefix_length);
    QCOMPARE(networks.join(' '), allow);
}

void Tst_settings::errors_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("message");

    const QString no_url = "не определён обязательный параметр «ws_url».";
    const QString end_of_line = "ожидается конец строки.";
    QTest::newRow("empty file") << QByteArray() << 1 << 1 << no_url;
    QTest::newRow("only comments") << QByteArray("# a\n// b\n  ") << 3 << 3 << no_url;
    QTest::newRow("no login") << QByteArray("ws_password = \"\"\nws_url = \"a\"\n") << 3 << 1
                              << "не определён обязательный параметр «ws_login».";
    QTest::newRow("no password") << QByteArray("ws_login = \"\"\nws_url = \"a\"") << 2 << 13
                                 << "не определён обязательный параметр «ws_password».";
    QTest::newRow("two parameters on one line") << QByteArray("ws_url = \"a\" ws_login = \"b\"") << 1 << 13 << end_of_line;
    QTest::newRow("parameter after joined literals") << QByteArray("ws_url = \"a\"\n \"b\" ws_login = \"b\"") << 2 << 5 << end_of_line;
    QTest::newRow("word after number") << QByteArray("ws_data_timeout = 10 ms") << 1 << 21 << end_of_line;
    QTest::newRow("timing too large") << QByteArray("ws_devlist_period = 60001") << 1 << 25
                                      << "число слишком большое (должно быть не более 60000)";
    QTest::newRow("timing not a number") << QByteArray("ws_auth_timeout = -1") << 1 << 19 << "ожидается десятичное число";
    QTest::newRow("default_max_frame 0") << QByteArray("default_max_frame = 0") << 1 << 21
                                         << "число слишком маленькое (должно быть не менее 1).";
    QTest::newRow("default_max_frame 10000") << QByteArray("default_max_frame = 10000") << 1 << 25
                                             << "число слишком большое (должно быть не более 9999)";
    QTest::newRow("interframe_delay 0") << QByteArray("interframe_delay = 00") << 1 << 20
                                        << "число слишком маленькое (должно быть не менее 1).";
    QTest::newRow("modbus_timeout 60001") << QByteArray("modbus_timeout = 60001") << 1 << 22
                                          << "число слишком большое (должно быть не более 60000)";
    QTest::newRow("repeated parameter") << QByteArray("ws_url = \"a\"\n  ws_url = \"a\"") << 2 << 9
                                        << "параметр «ws_url» уже определён выше по тексту.";
    QTest::newRow("unknown parameter") << QByteArray("ws_url = \"a\"\n  WS_LOGIN = \"a\"") << 2 << 3
        << "неизвестный параметр. Знаю только параметры «ws_url», «ws_login», «ws_password», «ws_connect_timeout», "
           "«ws_auth_timeout», «ws_reconnect_delay», «ws_devlist_period», «ws_devlist_timeout», «ws_data_timeout», "
           "«devices_file», «default_max_frame», «interframe_delay», «trace_ws», «trace_tcp», «tcp_listen», "
           "«tcp_allow» и «modbus_timeout».";
    QTest::newRow("longer name") << QByteArray("ws_urls = \"a\"") << 1 << 7 << "ожидается символ «=».";
    QTest::newRow("trace_ws = errors") << QByteArray("trace_ws = errors") << 1 << 15 << end_of_line;
    QTest::newRow("trace_ws = none") << QByteArray("trace_ws = none") << 1 << 12
        << "неправильное значение параметра «trace_ws»: знаю только значения «err», «bad_frames» и «all».";
    QTest::newRow("trace_tcp = bad") << QByteArray("trace_tcp = bad") << 1 << 13
        << "неправильное значение параметра «trace_tcp»: знаю только значения «err», «bad_frames» и «all».";
    QTest::newRow("string without quotes") << QByteArray("ws_login = user") << 1 << 12
                                           << "здесь должна быть строка в двойных кавычках.";
    QTest::newRow("control character in a string") << QByteArray("ws_password = \"a\\nb\"") << 1 << 17
        << "в строке обнаружен недопустимый символ с кодом 0x0a (эта строка не должна содержать управляющие символы).";

    const QString bad_listen = "неправильное значение параметра «tcp_listen»: ожидается адрес IPv4 или IPv6 без "
                               "кавычек, например 127.0.0.1 или ::1.";
    const QString bad_allow = "неправильное значение параметра «tcp_allow»: ожидается адрес IPv4 или IPv6 без кавычек, "
                              "за которым может стоять «/» и длина префикса сети, например 192.168.1.0/24 или ::1/128; "
                              "адреса в списке разделяются запятыми.";
    QTest::newRow("tcp_listen a host name") << QByteArray("tcp_listen = localhost") << 1 << 14 << bad_listen;
    QTest::newRow("tcp_listen quoted") << QByteArray("tcp_listen = \"127.0.0.1\"") << 1 << 14 << bad_listen;
    QTest::newRow("tcp_listen part over 255") << QByteArray("tcp_listen = 127.0.0.256") << 1 << 14 << bad_listen;
    QTest::newRow("tcp_listen three parts") << QByteArray("tcp_listen = 127.0.1") << 1 << 14 << bad_listen;
    QTest::newRow("tcp_listen four-digit part") << QByteArray("tcp_listen = 1270.0.0.1") << 1 << 14 << bad_listen;
    QTest::newRow("tcp_listen hexadecimal part") << QByteArray("tcp_listen = 0x7f.0.0.1") << 1 << 14 << bad_listen;
    QTest::newRow("tcp_listen two ::") << QByteArray("tcp_listen = 1::2::3") << 1 << 14 << bad_listen;
    QTest::newRow("tcp_listen IPv4 with a scope") << QByteArray("tcp_listen = 127.0.0.1%lo") << 1 << 14 << bad_listen;
    QTest::newRow("tcp_listen without value") << QByteArray("tcp_listen =\n") << 2 << 1 << bad_listen;
    QTest::newRow("tcp_listen with a prefix") << QByteArray("tcp_listen = 127.0.0.1/8") << 1 << 23 << end_of_line;
    QTest::newRow("tcp_listen two addresses") << QByteArray("tcp_listen = 127.0.0.1, ::1") << 1 << 23 << end_of_line;
    QTest::newRow("tcp_listen repeated") << QByteArray("tcp_listen = ::1\ntcp_listen = ::1") << 2 << 11
                                         << "параметр «tcp_listen» уже определён выше по тексту.";
    QTest::newRow("tcp_allow repeated") << QByteArray("tcp_allow = ::1\ntcp_allow") << 2 << 10
                                        << "параметр «tcp_allow» уже определён выше по тексту.";
    QTest::newRow("tcp_allow a host name") << QByteArray("tcp_allow = localhost") << 1 << 13 << bad_allow;
    QTest::newRow("tcp_allow five parts") << QByteArray("tcp_allow = 010.0.0.0.1") << 1 << 13 << bad_allow;
    QTest::newRow("tcp_allow IPv4 prefix 33") << QByteArray("tcp_allow = 10.0.0.0/33") << 1 << 23
                                              << "число слишком большое (должно быть не более 32)";
    QTest::newRow("tcp_allow IPv6 prefix 129") << QByteArray("tcp_allow = ::1/129") << 1 << 19
                                               << "число слишком большое (должно быть не более 128)";
    QTest::newRow("tcp_allow no prefix after /") << QByteArray("tcp_allow = 10.0.0.0/") << 1 << 22
                                                 << "ожидается десятичное число";
    QTest::newRow("tcp_allow a mask instead of a prefix") << QByteArray("tcp_allow = 10.0.0.0/255.0.0.0") << 1 << 24
                                                          << "число слишком большое (должно быть не более 32)";
    QTest::newRow("tcp_allow IPv4 host bits") << QByteArray("tcp_allow = 192.168.1.10/24") << 1 << 13
        << "192.168.1.10/24 - не адрес сети: биты адреса после первых 24 должны быть нулевыми (адрес этой сети - "
           "192.168.1.0/24).";
    QTest::newRow("tcp_allow IPv6 host bits") << QByteArray("tcp_allow = ::1/128, FD00::1/64") << 1 << 22
        << "FD00::1/64 - не адрес сети: биты адреса после первых 64 должны быть нулевыми (адрес этой сети - fd00::/64).";
    QTest::newRow("tcp_allow empty entry") << QByteArray("tcp_allow = 10.0.0.0/8,,10.0.0.1") << 1 << 24 << bad_allow;
    QTest::newRow("tcp_allow bad entry after a comma") << QByteArray("tcp_allow = 10.0.0.0/8 ,10") << 1 << 25 << bad_allow;
    QTest::newRow("tcp_allow comma at the end of the file") << QByteArray("tcp_allow = 10.0.0.0/8,\n") << 2 << 1 << bad_allow;
    QTest::newRow("tcp_allow next parameter after a comma") << QByteArray("tcp_allow = ::1,\ntrace_ws = all") << 2 << 1
                                                            << bad_allow;
    QTest::newRow("tcp_allow without comma") << QByteArray("tcp_allow = 10.0.0.0/8 192.168.0.0/16") << 1 << 23
                                             << end_of_line;
    QTest::newRow("letter outside a literal") << QByteArray("ws_url = \"Ж\"\nЖ") << 2 << 1
        << "неожиданный байт 0xd0 (ожидаются пробельные символы или первый символ лексемы).";
}

void Tst_settings::errors()
{
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(int, column);
    QFETCH(QString, message);

    const QString name = write_config(text);
    const QString expected = QString("Ошибка в %1-м символе %2-й строки файла «%3»: %4").arg(column).arg(line).arg(name, message);
    QCOMPARE(read_error(name), expected);

    // The message is in the log as well.
    QFile log(dir.filePath("test.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(log.readAll()).contains(expected));
}

void Tst_settings::missing_file()
{
    const QString name = dir.filePath("absent.cfg");
    QCOMPARE(read_error(name), QString("Не найден файл «%1».").arg(name));
}

// The samples shipped with the program are read without error.
void Tst_settings::example_files()
{
    const QString examples = QStringLiteral(QUVO_SOURCE_DIR "/examples/");
    QCOMPARE(read_error(examples + "quvo_vevi2zar.cfg"), QString());
    QCOMPARE(settings.devices_file, QString("devices.cfg"));
    settings.devices_file = examples + "devices.cfg";
    reset_devices();
    try {
        read_devices();
    } catch (const Err &e) {
        QFAIL(qPrintable(e.message()));
    }
    QCOMPARE(served_devices.size(), size_t(3));
    QCOMPARE(served_devices.at(0x70B3D5000000ABCD).max_frame, 51);
    QCOMPARE(served_devices.at(0x70B3D5000000ABCE).mode, Device_mode::modbus_tcp);
    reset_devices();
}

// The sample's commented-out tcp_listen and tcp_allow are valid once the comment marks go.
void Tst_settings::example_network_keys()
{
    QFile sample(QStringLiteral(QUVO_SOURCE_DIR "/examples/quvo_vevi2zar.cfg"));
    QVERIFY(sample.open(QIODevice::ReadOnly));
    QByteArray text = sample.readAll();
    QVERIFY(text.contains("\n# tcp_listen = ") && text.contains("\n# tcp_allow = "));
    text.replace("\n# tcp_listen = ", "\ntcp_listen = ").replace("\n# tcp_allow = ", "\ntcp_allow = ");
    text.replace("\n#             ", "\n             ");
    QCOMPARE(read_error(write_config(text)), QString());
    QCOMPARE(settings.tcp_listen, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(settings.tcp_allow.size(), size_t(4));
    QCOMPARE(settings.tcp_allow.back().address, QHostAddress(QStringLiteral("fd00::")));
    QCOMPARE(settings.tcp_allow.back().prefix_length, 8);
}

QTEST_GUILESS_MAIN(Tst_settings)
#include "tst_settings.moc"
