#include "base/err.h"
#include "link/command_table.h"
#include "link/server_commands.h"
#include "link/server_protocol.h"
#include "recording_link.h"
#include "shared/shared_state.h"
#include "support/test_support.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

const char eui_text[] = "0011223344556677";
const QString rx_prefix = QStringLiteral("{\"cmd\":\"rx\",\"devEui\":\"0011223344556677\",");

using Handler = Server_protocol::Handler;

} // namespace

Q_DECLARE_METATYPE(Handler)

class Tst_server_protocol : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void replies_data();
    void replies();
    void device_list_data();
    void device_list();
    void device_list_stays_after_later_fault();
    void append_status_without_owner();
    void unexpected_message();
    void command_texts();

private:
    // Reads the text with the handler; the error text, or an empty string.
    QString read(const QString &text, Handler handler);

    QTemporaryDir dir;
    Recording_link link;
};

void Tst_server_protocol::initTestCase()
{
    QVERIFY(dir.isValid());
}

void Tst_server_protocol::init()
{
    reset_shared_state();
    link = Recording_link();
    log_per_test(dir);
}

QString Tst_server_protocol::read(const QString &text, Handler handler)
{
    Server_protocol protocol(link, link);
    try {
        protocol.read(text, handler);
    } catch (const Err &e) {
        return e.message();
    }
    return QString();
}

void Tst_server_protocol::replies_data()
{
    QTest::addColumn<Handler>("handler");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("error");

    const Handler auth = &Server_protocol::handle_auth_resp;
    const Handler send = &Server_protocol::handle_send_data_resp;
    const Handler devlist = &Server_protocol::handle_devlist_resp;
    const Handler unsolicited = &Server_protocol::handle_unsolicited;
    const QStringList none;
    const QString rejected = QStringLiteral("Сервер QUVO-LoRa отверг нашу команду (в ответе \"%1\" \"status\" равен "
                                            "«false»).");
    const QString rx_data = QStringLiteral("modem_data 0011223344556677 01ab %1 %2");
    const QString append = QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":true,\"append_status\":[%1]}");
    const QString entry = QStringLiteral("{\"devEui\":\"%1\",\"status\":%2}");
    const QString good_entry = entry.arg(QLatin1String(eui_text), QLatin1String("true"));

    QTest::newRow("blanks only") << auth << QStringLiteral(" \r\n\t ") << none
                                 << positioned(3, 2, QStringLiteral("ожидается символ «{»."));
    QTest::newRow("not an object") << unsolicited << QStringLiteral("[]") << none
                                   << positioned(1, 1, QStringLiteral("ожидается символ «{»."));
    QTest::newRow("auth accepted") << auth << QStringLiteral("{\"status\":true,\"cmd\":\"auth_resp\",\"x\":[1]}")
                                   << QStringList{QStringLiteral("authorised")} << QString();
    QTest::newRow("auth: other reply ignored")
        << auth << QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":false}") << none << QString();
    QTest::newRow("auth: rx ignored") << auth << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"01ab\"}") << none << QString();
    QTest::newRow("auth refused with text")
        << auth << QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":false,\"err_string\":\"bad \\\"login\\\"\"}") << none
        << rejected.arg(QLatin1String("auth_resp")) + QStringLiteral(" Сообщение об ошибке (\"err_string\"): «bad \"login\"».");
    QTest::newRow("send refused without text")
        << send << QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":false}") << none
        << rejected.arg(QLatin1String("send_data_resp"));
    QTest::newRow("no cmd")
        << devlist << QStringLiteral("{\"status\":true}\n") << none
        << positioned(16, 1, QStringLiteral("в сообщении сервера QUVO-LoRa отсутствует обязательное поле \"cmd\" "
                                            "(ожидается сообщение \"get_device_appdata_resp\")."));
    QTest::newRow("no status")
        << auth << QStringLiteral("{ \"cmd\" : \"auth_resp\" }") << none
        << positioned(24, 1, QStringLiteral("в ответе сервера QUVO-LoRa \"auth_resp\" отсутствует обязательное поле \"status\"."));
    QTest::newRow("cmd twice")
        << auth << QStringLiteral("{\"cmd\":\"auth_resp\",\"cmd\":\"auth_resp\",\"status\":true}") << none
        << positioned(21, 1, QStringLiteral("поле \"cmd\" уже есть в этой структуре JSON."));

    QTest::newRow("rx with fcnt") << unsolicited << rx_prefix + QStringLiteral("\"port\":2,\"fcnt\":4294967295,\"data\":\"01AB\",\"type\":\"UNCONF_UP\"}")
                                  << QStringList{rx_data.arg(QLatin1String("fcnt")).arg(4294967295u)} << QString();
    QTest::newRow("rx without fcnt") << unsolicited << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"01ab\"}")
                                     << QStringList{rx_data.arg(QLatin1String("no-fcnt")).arg(0)} << QString();
    QTest::newRow("rx empty data") << unsolicited << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"\"}")
                                   << QStringList{QStringLiteral("modem_data 0011223344556677  no-fcnt 0")} << QString();
    QTest::newRow("rx while waiting for send_data_resp")
        << send << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"01ab\",\"fcnt\":7}")
        << QStringList{rx_data.arg(QLatin1String("fcnt")).arg(7)} << QString();
    QTest::newRow("rx while waiting for the device list")
        << devlist << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"01ab\",\"fcnt\":7}")
        << QStringList{rx_data.arg(QLatin1String("fcnt")).arg(7)} << QString();
    QTest::newRow("rx repeat") << unsolicited << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"01ab\",\"type\":\"CONF_UP_REPEAT_2\"}")
                               << none << QString();
    QTest::newRow("rx repeat is case-sensitive")
        << unsolicited << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"01ab\",\"type\":\"repeat\"}")
        << QStringList{rx_data.arg(QLatin1String("no-fcnt")).arg(0)} << QString();
    QTest::newRow("rx port 3") << unsolicited << rx_prefix + QStringLiteral("\"port\":3,\"data\":\"01ab\"}") << none << QString();
    QTest::newRow("rx port 300")
        << unsolicited << rx_prefix + QStringLiteral("\"port\":300,\"data\":\"01ab\"}") << none
        << positioned(50, 1, QStringLiteral("число слишком большое (должно быть не более 223)"));
    QTest::newRow("rx odd digits")
        << unsolicited << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"01a\"}") << none
        << positioned(61, 1, QStringLiteral("этот массив данных должен состоять из целого числа байтов (а значит, "
                                            "из чётного числа шестнадцатиричных цифр)."));
    QTest::newRow("rx for a modem without server")
        << unsolicited << QStringLiteral("{\"cmd\":\"rx\",\"devEui\":\"00112233445566ff\",\"port\":2,\"data\":\"01ab\"}")
        << none << QString();
    QTest::newRow("rx without port")
        << unsolicited << rx_prefix + QStringLiteral("\"data\":\"01ab\"}") << none
        << positioned(55, 1, QStringLiteral("в сообщении \"rx\" отсутствует обязательное поле \"port\"."));
    QTest::newRow("rx without devEui")
        << unsolicited << QStringLiteral("{\"cmd\":\"rx\"}") << none
        << positioned(13, 1, QStringLiteral("в сообщении \"rx\" отсутствует обязательное поле \"devEui\"."));
    QTest::newRow("other message ignored") << unsolicited << QStringLiteral("{\"cmd\":\"ping\",\"port\":1,\"x\":1}") << none << QString();
    QTest::newRow("message without cmd ignored") << unsolicited << QStringLiteral("{}") << none << QString();
    QTest::newRow("short EUI")
        << unsolicited << QStringLiteral("{\"devEui\":\"00112233\"}") << none
        << positioned(12, 1, QStringLiteral("ожидается 16-значное шестнадцатиричное число."));

    QTest::newRow("append_status true") << send << append.arg(good_entry)
                                        << QStringList{QStringLiteral("command_complete true")} << QString();
    QTest::newRow("append_status false")
        << send << append.arg(entry.arg(QLatin1String(eui_text), QLatin1String("false")))
        << QStringList{QStringLiteral("command_complete false")} << QString();
    QTest::newRow("append_status with two entries")
        << send << append.arg(good_entry + QLatin1Char(',') + good_entry) << none
        << positioned(100, 1, QStringLiteral("неправильное поле \"append_status\": посылали одну команду, но в массиве "
                                            "указано два или более ответов."));
    QTest::newRow("append_status empty")
        << send << append.arg(QString()) << none
        << positioned(57, 1, QStringLiteral("неправильное поле \"append_status\": посылали одну команду, но в массиве "
                                            "нет ни одного ответа."));
    QTest::newRow("append_status wrong EUI")
        << send << append.arg(entry.arg(QLatin1String("0011223344556678"), QLatin1String("true"))) << none
        << positioned(100, 1, QStringLiteral("неправильный ответ на нашу команду \"send_data_req\": посылали команду "
                                            "устройству с EUI=0x0011223344556677, а пришёл \"send_data_resp\" про "
                                            "устройство с EUI=0x0011223344556678."));
    QTest::newRow("append_status without devEui")
        << send << append.arg(QLatin1String("{\"status\":true}")) << none
        << positioned(71, 1, QStringLiteral("в структуре \"append_status\" отсутствует обязательное поле \"devEui\"."));
    QTest::newRow("append_status without status")
        << send << append.arg(QLatin1String("{\"devEui\":\"0011223344556677\",\"extra\":{}}")) << none
        << positioned(96, 1, QStringLiteral("в структуре \"append_status\" отсутствует обязательное поле \"status\"."));
    QTest::newRow("send_data_resp without append_status")
        << send << QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":true}") << none
        << QStringLiteral("Ответ сервера QUVO-LoRa \"send_data_resp\" неправильный: в нём отсутствует обязательное "
                          "поле \"append_status\".");
    QTest::newRow("append_status twice")
        << send << QStringLiteral("{\"append_status\":[%1],\"append_status\":[%1]}").arg(good_entry) << none
        << positioned(65, 1, QStringLiteral("поле \"append_status\" уже есть в этой структуре JSON."));
    // A message that is not well formed to its end has no effect besides its error.
    const QString trailing = QStringLiteral("после чтения из сообщения сервера QUVO-LoRa корректной структуры JSON в "
                                            "сообщении остались ещё какие-то непонятные символы.");
    QTest::newRow("auth_resp and junk")
        << auth << QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":true} }") << none << positioned(35, 1, trailing);
    QTest::newRow("send_data_resp and junk")
        << send << append.arg(good_entry) + QStringLiteral(" x") << none << positioned(102, 1, trailing);
    QTest::newRow("rx and junk")
        << unsolicited << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"01ab\"}\n{") << none
        << positioned(1, 2, trailing);
    QTest::newRow("rx during a downlink, and junk")
        << send << rx_prefix + QStringLiteral("\"port\":2,\"data\":\"01ab\"}}") << none << positioned(64, 1, trailing);
}

void Tst_server_protocol::replies()
{
    QFETCH(Handler, handler);
    QFETCH(QString, text);
    QFETCH(QStringList, calls);
    QFETCH(QString, error);
    QCOMPARE(read(text, handler), error);
    QCOMPARE(link.calls, calls);
    if (!error.isEmpty())
        QVERIFY(log_contents().contains(error));
}

void Tst_server_protocol::device_list_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("modems");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("duplicate_lines");

    QTest::newRow("sorted, duplicates removed")
        << QStringLiteral("{\"devEui\":\"00000000000000B0\",\"devName\":\"b\",\"x\":[1,{}]},\r\n"
                          "{\"devName\":\"a\",\"devEui\":\"00000000000000a0\"},"
                          "{\"devEui\":\"00000000000000b0\",\"devName\":\"second b\"},"
                          "{\"devEui\":\"F000000000000000\",\"devName\":\"high\"}")
        << QStringLiteral("00000000000000A0 a;00000000000000B0 b;F000000000000000 high;") << QString() << 1;
    // Apart in several bytes, so that the sort takes several passes, each keeping the order of
    // the one before.
    QTest::newRow("apart in several bytes")
        << QStringLiteral("{\"devEui\":\"0102030405060709\",\"devName\":\"b\"},{\"devEui\":\"FF00000000000000\"},"
                          "{\"devEui\":\"0102030405060708\",\"devName\":\"a\"},{\"devEui\":\"0102FF0405060708\"},"
                          "{\"devEui\":\"0002030405060708\"},{\"devEui\":\"0102030405060708\",\"devName\":\"again\"}")
        << QStringLiteral("0002030405060708 ;0102030405060708 a;0102030405060709 b;0102FF0405060708 ;FF00000000000000 ;")
        << QString() << 1;
    QTest::newRow("three of one EUI")
        << QStringLiteral("{\"devEui\":\"0000000000000001\"},{\"devEui\":\"0000000000000001\",\"devName\":\"x\"},"
                          "{\"devEui\":\"0000000000000001\"}")
        << QStringLiteral("0000000000000001 ;") << QString() << 2;
    QTest::newRow("no devName") << QStringLiteral("{\"devEui\":\"0000000000000002\",\"devName\":\"\\u0041\"},{\"devEui\":\"0000000000000001\"}")
                                << QStringLiteral("0000000000000001 ;0000000000000002 A;") << QString() << 0;
    QTest::newRow("empty") << QString() << QString() << QString() << 0;
    QTest::newRow("no devEui")
        << QStringLiteral("{\"devEui\":\"0000000000000001\"},\n {\"devName\":\"x\"}") << QStringLiteral("unchanged")
        << positioned(17, 2, QStringLiteral("в возвращённом сервером QUVO-LoRa описании устройства отсутствует "
                                            "обязательное поле \"devEui\"."))
        << 0;
    QTest::newRow("devEui twice")
        << QStringLiteral("{\"devEui\":\"0000000000000001\",\"devEui\":\"0000000000000001\"}") << QStringLiteral("unchanged")
        << positioned(94, 1, QStringLiteral("поле \"devEui\" уже есть в этой структуре JSON.")) << 0;
    QTest::newRow("devEui not quoted")
        << QStringLiteral("{\"devEui\":0000000000000001}") << QStringLiteral("unchanged")
        << positioned(74, 1, QStringLiteral("ожидается символ «\"».")) << 0;
    QTest::newRow("element not an object")
        << QStringLiteral("{\"devEui\":\"0000000000000001\"}, 5") << QStringLiteral("unchanged")
        << positioned(95, 1, QStringLiteral("ожидается символ «{».")) << 0;
    QTest::newRow("broken array")
        << QStringLiteral("{\"devEui\":\"0000000000000001\"} 5") << QStringLiteral("unchanged")
        << positioned(94, 1, QStringLiteral("ожидается запятая, разделяющая элементы массива JSON, или квадратная "
                                            "скобка, завершающая массив."))
        << 0;
    // Faults are reported as if the whole list were checked before any entry is read.
    QTest::newRow("later fault before earlier missing devEui")
        << QStringLiteral("{\"devEui\":\"0000000000000001\"},{\"devName\":\"x\"},{\"devEui\":\"0000000000000003\",\"a\":tru}")
        << QStringLiteral("unchanged")
        << positioned(143, 1, QStringLiteral("нарушение формата JSON: значение неизвестного типа (не строка, не число, не "
                                             "объект и т.д.). Код первого символа значения: 0x0074."))
        << 0;
    QTest::newRow("bad escape after good entries")
        << QStringLiteral("{\"devEui\":\"0000000000000001\"},{\"devEui\":\"0000000000000002\"},"
                          "{\"devEui\":\"0000000000000003\",\"devName\":\"\\q\"}")
        << QStringLiteral("unchanged")
        << positioned(163, 1, QStringLiteral("неправильная escape-последовательность в строке JSON: после символа «\\» "
                                             "идёт недопустимый символ с кодом 0x0071."))
        << 0;
    QTest::newRow("entry nested one level too deep")
        << QStringLiteral("{\"devEui\":\"0000000000000001\"},{\"devEui\":\"0000000000000002\",\"x\":%1%2}")
               .arg(QString(32, QLatin1Char('[')), QString(32, QLatin1Char(']')))
        << QStringLiteral("unchanged")
        << positioned(158, 1, QStringLiteral("нарушение формата JSON: слишком глубокая вложенность массивов и объектов "
                                             "(допускается не более 32 уровней)."))
        << 0;
    QTest::newRow("entry nested as deep as allowed")
        << QStringLiteral("{\"devEui\":\"0000000000000001\"},{\"devEui\":\"0000000000000002\",\"x\":%1%2}")
               .arg(QString(31, QLatin1Char('[')), QString(31, QLatin1Char(']')))
        << QStringLiteral("0000000000000001 ;0000000000000002 ;") << QString() << 0;
}

// The list is installed sorted, first of each EUI kept, one log line per dropped record.
void Tst_server_protocol::device_list()
{
    QFETCH(QString, list);
    QFETCH(QString, modems);
    QFETCH(QString, error);
    QFETCH(int, duplicate_lines);
    reachable_modems = {{0x99, QStringLiteral("old")}};

    const QString text = QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":true,\"devices_list\":[%1]}").arg(list);
    QCOMPARE(read(text, &Server_protocol::handle_devlist_resp), error);
    QCOMPARE(link.calls, error.isEmpty() ? QStringList{QStringLiteral("devices_list_complete")} : QStringList());

    QString installed;
    for (const Server_device &device : reachable_modems)
        installed += QStringLiteral("%1 %2;").arg(device.eui, 16, 16, QLatin1Char('0')).toUpper().arg(device.name);
    QCOMPARE(installed, modems == QLatin1String("unchanged") ? QStringLiteral("0000000000000099 old;") : modems);
    const QString duplicate = QStringLiteral("В ответе сервера QUVO-LoRa на команду 'get_device_appdata_req' обнаружено "
                                             "несколько записей с одним и тем же EUI: 0x");
    QCOMPARE(log_contents().count(duplicate), duplicate_lines);
}

// A list read in full is installed even when the rest of the reply is refused or not well formed.
void Tst_server_protocol::device_list_stays_after_later_fault()
{
    const QString text = QStringLiteral("{\"devices_list\":[{\"devEui\":\"0000000000000007\",\"devName\":\"n\"}],"
                                        "\"cmd\":\"get_device_appdata_resp\",\"status\":false}");
    QCOMPARE(read(text, &Server_protocol::handle_devlist_resp),
             QStringLiteral("Сервер QUVO-LoRa отверг нашу команду (в ответе \"get_device_appdata_resp\" \"status\" "
                            "равен «false»)."));
    QCOMPARE(reachable_modems.size(), 1);
    QCOMPARE(reachable_modems[0].eui, quint64(7));

    const QString without = QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":true}");
    QCOMPARE(read(without, &Server_protocol::handle_devlist_resp),
             QStringLiteral("Ответ сервера QUVO-LoRa \"get_device_appdata_resp\" помечен как успешный "
                            "(\"status\":true), но в нём нет поля \"devices_list\"."));

    // A positive reply with junk after it: the list is in, but the request is not complete.
    const QString junk = QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":true,\"devices_list\":"
                                        "[{\"devEui\":\"0000000000000008\"}]},");
    QVERIFY(!read(junk, &Server_protocol::handle_devlist_resp).isEmpty());
    QCOMPARE(reachable_modems.size(), 1);
    QCOMPARE(reachable_modems[0].eui, quint64(8));
    QVERIFY(link.calls.isEmpty());
}

// A command whose TCP server went away is completed whatever EUI the reply names.
void Tst_server_protocol::append_status_without_owner()
{
    link.has_owner = false;
    const QString text = QStringLiteral("{\"cmd\":\"send_data_resp\",\"status\":true,\"append_status\":"
                                        "[{\"status\":true,\"devEui\":\"FFFFFFFFFFFFFFFF\"}]}");
    QCOMPARE(read(text, &Server_protocol::handle_send_data_resp), QString());
    QCOMPARE(link.calls, QStringList{QStringLiteral("command_complete true")});
}

void Tst_server_protocol::unexpected_message()
{
    Server_protocol protocol(link, link);
    QVERIFY_EXCEPTION_THROWN(protocol.read(QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":true}"),
                                           &Server_protocol::handle_unexpected),
                             Debug);
    QVERIFY(link.calls.isEmpty());
    QVERIFY(log_contents().contains(QStringLiteral("Неожиданная ошибка №7.154.")));
}

void Tst_server_protocol::command_texts()
{
    QCOMPARE(send_data_req_text(0x0011223344556677, "\x01\xab", 2),
             QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"0011223344556677\",\"data\":"
                            "\"0401ab\",\"port\":2}]}"));
    QCOMPARE(send_data_req_text(0xFEDCBA9876543210, "", 0),
             QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"FEDCBA9876543210\",\"data\":"
                            "\"04\",\"port\":2}]}"));
    QCOMPARE(devlist_req_text(), QStringLiteral("{\"cmd\":\"get_device_appdata_req\",\"keyword\":\"no_attributes\"}"));
    QCOMPARE(auth_req_text(QStringLiteral("оператор"), QStringLiteral("p%1\"w\\d\n\x01")),
             QStringLiteral("{\"cmd\":\"auth_req\",\"login\":\"оператор\",\"password\":\"p%1\\\"w\\\\d\\u000a\\u0001\"}"));
    QCOMPARE(command_name(Command_kind::send_data_req), QStringLiteral("добавить данные в очередь для отправки на устройство"));
}

QTEST_GUILESS_MAIN(Tst_server_protocol)
#include "tst_server_protocol.moc"
