#include "script_server.h"

#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "link/ws_connection.h"
#include "shared/downlink.h"
#include "shared/shared_state.h"
#include "support/test_support.h"

#include <QFile>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString auth_ok = QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":true}");
const QString devlist_ok = QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":true,\"devices_list\":[]}");
const QString send_data_ok = QStringLiteral(
    "{\"cmd\":\"send_data_resp\",\"status\":true,\"append_status\":[{\"devEui\":\"0011223344556677\",\"status\":true}]}");

const QString connect_failed = QStringLiteral("Не удалось установить соединение с сервером QUVO-LoRa.");
const QString connected_text = QStringLiteral("Установлено соединение с сервером QUVO-LoRa.");
const QString lost_text = QStringLiteral("Утеряно соединение с сервером QUVO-LoRa.");
const QString bad_message_text = QStringLiteral("Не удалось обработать сообщение от сервера QUVO-LoRa.");

QSslCertificate certificate(const QString &file, QSsl::EncodingFormat format)
{
    QFile in(QStringLiteral(QUVO_TEST_DATA "/") + file);
    in.open(QIODevice::ReadOnly);
    return QSslCertificate(in.readAll(), format);
}

// A port on loopback that refuses connections.
quint16 closed_port()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class Tst_ws_connection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // Happy flows
    void link_becomes_ready();
    void pinned_certificate_accepted_data();
    void pinned_certificate_accepted();
    void shutdown_while_connected();

    // Rainy-day flows
    void connect_refused_then_reconnect();
    void connect_timeout();
    void authorisation_timeout();
    void authorisation_rejected();
    void server_closes_while_idle();
    void server_closes_while_reply_awaited();
    void binary_frame();
    void malformed_message_data();
    void malformed_message();
    void password_kept_out_of_log_data();
    void password_kept_out_of_log();
    void error_and_disconnection_log_once();
    void plain_link_with_pinned_certificate();
    void pinned_certificate_mismatch_data();
    void pinned_certificate_mismatch();
    void shutdown_while_connecting();
    void shutdown_while_waiting_to_reconnect();

    // Send queue and polling
    void one_command_on_the_wire();
    void device_list_reply_timeout();

private:
    void start();
    void start_ready(Script_server &server);
    Ws_connection *link() const;
    QStringList log_entries() const;
    int count(const QString &entry) const { return log_entries().count(entry); }
    int count_starting(const QString &prefix) const;

    QTemporaryDir dir;
    std::unique_ptr<Engine> engine;
};

void Tst_ws_connection::initTestCase()
{
    QVERIFY(dir.isValid());
    // Set QUVO_KEEP_LOGS to look at the logs of a failed run.
    dir.setAutoRemove(qEnvironmentVariableIsEmpty("QUVO_KEEP_LOGS"));
}

void Tst_ws_connection::init()
{
    log_per_test(dir);
    reset_process_state();
    settings.ws_login = QStringLiteral("user");
    settings.ws_password = QStringLiteral("secret");
    settings.ws_connect_timeout = 400;
    settings.ws_auth_timeout = 300;
    settings.ws_reconnect_delay = 300;
    settings.ws_devlist_period = 5000;
    settings.ws_devlist_timeout = 500;
    settings.ws_data_timeout = 500;
    settings.trace_ws = Trace_level::bad_frames;
    engine = std::make_unique<Engine>();
}

void Tst_ws_connection::cleanup()
{
    if (engine->isRunning())
        QVERIFY(engine->stop(5000));
    engine.reset();
}

void Tst_ws_connection::start()
{
    engine->start();
}

void Tst_ws_connection::start_ready(Script_server &server)
{
    server.replies.insert(QStringLiteral("auth_req"), auth_ok);
    server.replies.insert(QStringLiteral("get_device_appdata_req"), devlist_ok);
    QVERIFY(server.listen());
    settings.ws_url = server.url().toString();
    start();
    QTRY_COMPARE_WITH_TIMEOUT(link_state(), quint8(link_started | link_ready), 5000);
}

Ws_connection *Tst_ws_connection::link() const
{
    QMutexLocker lock(&state_mutex);
    return qobject_cast<Ws_connection *>(registered_ws_connection);
}

// The texts of the log entries, without their time stamps and separating blank lines.
QStringList Tst_ws_connection::log_entries() const
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d+\\.\\d+\\.\\d{4} \\d+:\\d\\d:\\d\\d\\.\\d{3}\\] "),
                                          QRegularExpression::MultilineOption);
    const QString log = log_contents();
    QStringList entries;
    QRegularExpressionMatchIterator it = stamp.globalMatch(log);
    int text_start = -1;
    auto close_entry = [&](int end) {
        if (text_start >= 0)
            entries.append(log.mid(text_start, end - text_start).chopped(2));
    };
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        close_entry(match.capturedStart());
        text_start = match.capturedEnd();
    }
    close_entry(log.size());
    return entries;
}

int Tst_ws_connection::count_starting(const QString &prefix) const
{
    int n = 0;
    for (const QString &entry : log_entries())
        n += entry.startsWith(prefix);
    return n;
}

// ---- Happy flows ----

void Tst_ws_connection::link_becomes_ready()
{
    Script_server server;
    start_ready(server);
    QCOMPARE(count(connected_text), 1);
    QCOMPARE(server.texts.value(0), QStringLiteral("{\"cmd\":\"auth_req\",\"login\":\"user\",\"password\":\"secret\"}"));
    QCOMPARE(server.texts.value(1), QStringLiteral("{\"cmd\":\"get_device_appdata_req\",\"keyword\":\"no_attributes\"}"));
    QVERIFY(!log_contents().contains(QStringLiteral("Неожиданная")));
}

void Tst_ws_connection::pinned_certificate_accepted_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("format");
    QTest::newRow("PEM") << QStringLiteral("server.pem") << int(QSsl::Pem);
    QTest::newRow("DER") << QStringLiteral("server.der") << int(QSsl::Der);
}

void Tst_ws_connection::pinned_certificate_accepted()
{
    QFETCH(QString, file);
    QFETCH(int, format);
    settings.ws_cert = certificate(file, QSsl::EncodingFormat(format));
    settings.ws_cert_format = QSsl::EncodingFormat(format);
    QVERIFY(!settings.ws_cert.isNull());
    // A TLS handshake under a sanitizer on a busy machine can outlast the short time-outs of the
    // other cases, which would turn every attempt into a time-out.
    settings.ws_connect_timeout = 10000;
    settings.ws_auth_timeout = 5000;
    Script_server server;
    server.replies.insert(QStringLiteral("auth_req"), auth_ok);
    server.replies.insert(QStringLiteral("get_device_appdata_req"), devlist_ok);
    QVERIFY(server.listen_secure(server_tls(QStringLiteral("server"))));
    settings.ws_url = server.url().toString();
    start();
    QTRY_COMPARE_WITH_TIMEOUT(link_state(), quint8(link_started | link_ready), 20000);
    QCOMPARE(count(connected_text), 1);
    QVERIFY(!log_contents().contains(QStringLiteral("сертификат")));
}

// The normal close code, no lost-connection message, and the thread ends.
void Tst_ws_connection::shutdown_while_connected()
{
    Script_server server;
    start_ready(server);
    QVERIFY(engine->stop(5000));
    QTRY_COMPARE_WITH_TIMEOUT(server.close_codes.size(), 1, 5000);
    QCOMPARE(server.close_codes.front(), QWebSocketProtocol::CloseCodeNormal);
    QVERIFY(!log_contents().contains(QStringLiteral("утеряно"), Qt::CaseInsensitive));
    QCOMPARE(link_state(), quint8(0));
    QVERIFY(!link());
}

// ---- Rainy-day flows ----

void Tst_ws_connection::connect_refused_then_reconnect()
{
    settings.ws_url = QStringLiteral("ws://127.0.0.1:%1").arg(closed_port());
    start();
    // Whichever of the socket's two reports comes first is logged, once per attempt.
    QTRY_VERIFY_WITH_TIMEOUT(count_starting(connect_failed) >= 2, 5000);
    QCOMPARE(link_state(), quint8(0));
    QVERIFY(!log_contents().contains(QStringLiteral("Неожиданная")));
}

// A listener that takes the TCP connection but never answers the handshake.
void Tst_ws_connection::connect_timeout()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    settings.ws_url = QStringLiteral("ws://127.0.0.1:%1").arg(silent.serverPort());
    start();
    const QString timeout =
        QStringLiteral("Тайм-аут установления соединения WebSocket с сервером QUVO-LoRa (ждали более 400 миллисекунд).");
    QTRY_VERIFY_WITH_TIMEOUT(count(timeout) >= 2, 5000);
    QCOMPARE(count_starting(connect_failed), 0);
    QVERIFY(!log_contents().contains(QStringLiteral("Неожиданная")));
}

void Tst_ws_connection::authorisation_timeout()
{
    settings.trace_tcp = Trace_level::all;
    settings.ws_reconnect_delay = 1000;
    Script_server server;
    QVERIFY(server.listen());
    settings.ws_url = server.url().toString();
    start();
    QTRY_COMPARE_WITH_TIMEOUT(link_state(), quint8(link_started), 5000);
    const QString timeout = QStringLiteral("Тайм-аут ожидания ответа на команду \"авторизация пользователя\" (с момента "
                                           "начала передачи команды прошло более 300 миллисекунд).");
    QTRY_COMPARE_WITH_TIMEOUT(count(timeout), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(link_state(), quint8(0), 5000);
    QCOMPARE(log_entries().filter(QStringLiteral("tcp")).size(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(server.connections >= 2, 5000);
}

void Tst_ws_connection::authorisation_rejected()
{
    Script_server server;
    const QString reply = QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":false,\"err_string\":\"wrong password\"}");
    server.replies.insert(QStringLiteral("auth_req"), reply);
    QVERIFY(server.listen());
    settings.ws_url = server.url().toString();
    start();
    const QString rejected = QStringLiteral("Сервер QUVO-LoRa отверг нашу команду (в ответе \"auth_resp\" \"status\" "
                                            "равен «false»). Сообщение об ошибке (\"err_string\"): «wrong password».");
    QTRY_VERIFY_WITH_TIMEOUT(count(rejected) >= 1, 5000);
    // The entries that follow are written after it; by the next attempt they all are.
    QTRY_VERIFY_WITH_TIMEOUT(server.connections >= 2, 5000);
    const QStringList entries = log_entries();
    const int at = entries.indexOf(rejected);
    QCOMPARE(entries.value(at + 1), bad_message_text);
    QCOMPARE(entries.value(at + 2),
             QStringLiteral("Сообщение сервера QUVO-LoRa, вызвавшее предыдущую ошибку: «%1»").arg(reply));
}

void Tst_ws_connection::server_closes_while_idle()
{
    Script_server server;
    start_ready(server);
    server.close_all();
    QTRY_COMPARE_WITH_TIMEOUT(count(lost_text), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server.connections, 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(link_state(), quint8(link_started | link_ready), 5000);
    QCOMPARE(count_starting(QStringLiteral("Утеряно")), 1);
}

void Tst_ws_connection::server_closes_while_reply_awaited()
{
    Script_server server;
    server.replies.insert(QStringLiteral("auth_req"), auth_ok);
    connect(&server, &Script_server::text_received, &server, [&server](const QString &cmd) {
        if (cmd == QLatin1String("get_device_appdata_req"))
            server.close_all();
    });
    QVERIFY(server.listen());
    settings.ws_url = server.url().toString();
    start();
    const QString lost = QStringLiteral(
        "Соединение с сервером QUVO-LoRa утеряно во время ожидания ответа на команду «запрос списка устройств».");
    QTRY_COMPARE_WITH_TIMEOUT(count_starting(lost.chopped(1)), 1, 5000);
    QCOMPARE(count_starting(QStringLiteral("Утеряно")), 0);
}

void Tst_ws_connection::binary_frame()
{
    Script_server server;
    start_ready(server);
    server.send_binary(QByteArray::fromHex("01ab"));
    QTRY_VERIFY_WITH_TIMEOUT(count_starting(QStringLiteral("Сообщение сервера")) == 1, 5000);
    const QStringList entries = log_entries();
    const QString error = QStringLiteral("Ошибка: от сервера QUVO-LoRa пришло сообщение в двоичном формате (в "
                                         "протоколе есть только текстовые сообщения).");
    const int at = entries.indexOf(error);
    QVERIFY(at >= 0);
    QCOMPARE(entries.value(at + 1),
             QStringLiteral("Сообщение сервера QUVO-LoRa, вызвавшее предыдущую ошибку (binary frame): 0x{01 AB}"));
    QTRY_COMPARE_WITH_TIMEOUT(server.connections, 2, 5000);
}

void Tst_ws_connection::malformed_message_data()
{
    QTest::addColumn<int>("level");
    QTest::newRow("err") << int(Trace_level::err);
    QTest::newRow("bad_frames") << int(Trace_level::bad_frames);
    QTest::newRow("all") << int(Trace_level::all);
}

// The reader's positioned error, the link's own message, then the offending text as far
// as the trace level asks, and never twice.
void Tst_ws_connection::malformed_message()
{
    QFETCH(int, level);
    settings.trace_ws = Trace_level(level);
    Script_server server;
    start_ready(server);
    const QString bad = QStringLiteral("{\"cmd\" 1}");
    server.send_text(bad);
    QTRY_VERIFY_WITH_TIMEOUT(count(bad_message_text) == 1, 5000);
    // The offending text is written after that message; by the next attempt it is.
    QTRY_VERIFY_WITH_TIMEOUT(server.connections >= 2, 5000);
    const QStringList entries = log_entries();
    const int at = entries.indexOf(bad_message_text);
    QCOMPARE(entries.value(at - 1), QStringLiteral("Ошибка в 8-м символе 1-й строки текстового сообщения, пришедшего "
                                                   "через соединение WebSocket: ожидается символ «:»."));
    const QString offending = QStringLiteral("Сообщение сервера QUVO-LoRa, вызвавшее предыдущую ошибку: «%1»").arg(bad);
    QCOMPARE(entries.contains(offending), level == int(Trace_level::bad_frames));
    const QString received = QStringLiteral("from(QUVO-LoRa): «%1»").arg(bad);
    const QString sent = QStringLiteral("to(QUVO-LoRa): «{\"cmd\":\"auth_req\",\"login\":\"user\",\"password\":\"***\"}»");
    QCOMPARE(entries.contains(received), level == int(Trace_level::all));
    QCOMPARE(entries.contains(sent), level == int(Trace_level::all));
    if (level == int(Trace_level::all))
        QCOMPARE(entries.value(at - 2), received);
    QTRY_COMPARE_WITH_TIMEOUT(server.connections, 2, 5000);
}

void Tst_ws_connection::password_kept_out_of_log_data()
{
    QTest::addColumn<int>("level");
    QTest::newRow("bad_frames") << int(Trace_level::bad_frames);
    QTest::newRow("all") << int(Trace_level::all);
}

// The server gets the password as it is; the log, traced or dumped, only a mask, even of a
// bad reply that quotes the password back.
void Tst_ws_connection::password_kept_out_of_log()
{
    QFETCH(int, level);
    settings.trace_ws = Trace_level(level);
    settings.ws_password = QStringLiteral("pa\"ss\\пароль");
    const QString escaped = QStringLiteral("pa\\\"ss\\\\пароль");
    Script_server server;
    server.replies.insert(QStringLiteral("auth_req"), "{\"cmd\":\"auth_resp\",\"password\":\"" + escaped + "\" 1}");
    QVERIFY(server.listen());
    settings.ws_url = server.url().toString();
    start();
    QTRY_VERIFY_WITH_TIMEOUT(count(bad_message_text) == 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(server.connections >= 2, 5000);
    QCOMPARE(server.texts.value(0), "{\"cmd\":\"auth_req\",\"login\":\"user\",\"password\":\"" + escaped + "\"}");
    const QString log = log_contents();
    QVERIFY2(!log.contains(QStringLiteral("пароль")), qPrintable(log));
    QVERIFY(log.contains(QStringLiteral("\"password\":\"***\" 1}»")));
    QCOMPARE(log.contains(QStringLiteral("«{\"cmd\":\"auth_req\",\"login\":\"user\",\"password\":\"***\"}»")),
             level == int(Trace_level::all));
}

// A connection that breaks without a closing handshake is reported once, whatever the
// socket says first.
void Tst_ws_connection::error_and_disconnection_log_once()
{
    Script_server server;
    start_ready(server);
    server.abort_all();
    QTRY_COMPARE_WITH_TIMEOUT(count_starting(QStringLiteral("Утеряно соединение")), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(server.connections, 2, 5000);
    QCOMPARE(count_starting(QStringLiteral("Утеряно соединение")), 1);
    QVERIFY(!log_contents().contains(QStringLiteral("Неожиданная")));
}

void Tst_ws_connection::plain_link_with_pinned_certificate()
{
    settings.ws_cert = certificate(QStringLiteral("server.pem"), QSsl::Pem);
    Script_server server;
    server.replies.insert(QStringLiteral("auth_req"), auth_ok);
    QVERIFY(server.listen());
    settings.ws_url = server.url().toString();
    start();
    const QString not_secure = QStringLiteral(
        "Удалось подключиться к серверу QUVO-LoRa, но соединение не является безопасным («wss:\\»). Поскольку у нас в "
        "конфигурации указан требуемый сертификат сервера, не разрешаем такое соединение.");
    QTRY_VERIFY_WITH_TIMEOUT(server.connections >= 2, 5000);
    const QStringList entries = log_entries();
    QCOMPARE(entries.value(0), not_secure);
    QCOMPARE(entries.value(1), connect_failed);
    QCOMPARE(server.received(QStringLiteral("auth_req")), 0);
    QCOMPARE(server.close_codes.value(0), QWebSocketProtocol::CloseCodeNormal);
}

void Tst_ws_connection::pinned_certificate_mismatch_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("format");
    QTest::newRow("PEM") << QStringLiteral("server.pem") << int(QSsl::Pem);
    QTest::newRow("DER") << QStringLiteral("server.der") << int(QSsl::Der);
}

void Tst_ws_connection::pinned_certificate_mismatch()
{
    QFETCH(QString, file);
    QFETCH(int, format);
    settings.ws_cert = certificate(file, QSsl::EncodingFormat(format));
    settings.ws_cert_format = QSsl::EncodingFormat(format);
    // A TLS handshake under a sanitizer on a busy machine can outlast the short time-outs of the
    // other cases, which would turn every attempt into a time-out.
    settings.ws_connect_timeout = 10000;
    settings.ws_auth_timeout = 5000;
    Script_server server;
    server.replies.insert(QStringLiteral("auth_req"), auth_ok);
    QVERIFY(server.listen_secure(server_tls(QStringLiteral("other"))));
    settings.ws_url = server.url().toString();
    start();
    const QSslCertificate other = certificate(QStringLiteral("other.pem"), QSsl::Pem);
    QByteArray shown = format == QSsl::Pem ? other.toPem() : other.toDer();
    if (shown.contains('\0'))
        shown.truncate(shown.indexOf('\0'));
    const QString mismatch =
        QStringLiteral("Удалось соединиться с сервером QUVO-LoRa, но его сертификат не совпадает с тем, который указан в "
                       "нашем файле конфигурации. Текст сертификата (в формате %1): «\n%2\n».")
            .arg(format == QSsl::Pem ? QStringLiteral("PEM") : QStringLiteral("DER"), QString::fromLatin1(shown));
    QTRY_VERIFY_WITH_TIMEOUT(log_contents().contains(mismatch), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(log_contents().count(mismatch) >= 2, 20000);
    QCOMPARE(count(connected_text), 0);
    QCOMPARE(server.received(QStringLiteral("auth_req")), 0);
}

// The attempt under way ends (here by its time-out), then the thread.
void Tst_ws_connection::shutdown_while_connecting()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QSignalSpy accepted(&silent, &QTcpServer::newConnection);
    settings.ws_url = QStringLiteral("ws://127.0.0.1:%1").arg(silent.serverPort());
    start();
    QVERIFY(accepted.wait(5000));
    QVERIFY(engine->stop(5000));
    const QString timeout =
        QStringLiteral("Тайм-аут установления соединения WebSocket с сервером QUVO-LoRa (ждали более 400 миллисекунд).");
    QCOMPARE(log_entries(), QStringList{timeout});
}

// The reconnect delay is dropped at once: no new attempt after the shutdown request.
void Tst_ws_connection::shutdown_while_waiting_to_reconnect()
{
    settings.ws_url = QStringLiteral("ws://127.0.0.1:%1").arg(closed_port());
    settings.ws_reconnect_delay = 60000;
    start();
    QTRY_COMPARE_WITH_TIMEOUT(log_entries().size(), 1, 5000);
    QVERIFY(engine->stop(5000));
    QCOMPARE(log_entries().size(), 1);
}

// ---- Send queue and polling ----

// Replies come late and the period is short: the link never has two commands on the
// wire, a tick during a pending downlink puts one device-list request before the
// downlinks still waiting, and further ticks add nothing.
void Tst_ws_connection::one_command_on_the_wire()
{
    settings.ws_devlist_period = 60;
    settings.ws_devlist_timeout = 2000;
    settings.ws_data_timeout = 2000;
    // Every reply is late; a log-in that timed out would leave its request unanswered in the count.
    settings.ws_auth_timeout = 2000;
    Script_server server;
    server.reply_delay_ms = 250;
    server.replies.insert(QStringLiteral("send_data_req"), send_data_ok);

    // Counted from the first command: a device-list request received before the count began
    // would be answered into it and leave it one short.
    int outstanding = 0;
    int most = 0;
    QStringList order;
    connect(&server, &Script_server::text_received, this, [&](const QString &cmd) {
        most = qMax(most, ++outstanding);
        order.append(cmd);
    });
    connect(&server, &Script_server::reply_sent, this, [&](const QString &) { --outstanding; });
    start_ready(server);

    Ws_connection *const connection = link();
    QVERIFY(connection);
    QMetaObject::invokeMethod(
        connection,
        [connection] {
            for (int i = 0; i < 3; ++i)
                connection->downlinks().enqueue_message(Downlink{0x0011223344556677u, QByteArray("\x01\xab"), nullptr});
        },
        Qt::BlockingQueuedConnection);
    QTRY_COMPARE_WITH_TIMEOUT(server.received(QStringLiteral("send_data_req")), 3, 10000);
    const int first = order.indexOf(QStringLiteral("send_data_req"));
    QTRY_VERIFY_WITH_TIMEOUT(order.size() >= first + 5, 10000);
    QCOMPARE(most, 1);
    // A tick during each downlink put one device-list request before the next, no more.
    const QString data = QStringLiteral("send_data_req");
    const QString list = QStringLiteral("get_device_appdata_req");
    QCOMPARE(order.mid(first, 5), (QStringList{data, list, data, list, data}));
    QVERIFY(!log_contents().contains(QStringLiteral("Неожиданная")));
}

void Tst_ws_connection::device_list_reply_timeout()
{
    Script_server server;
    server.replies.insert(QStringLiteral("auth_req"), auth_ok);
    QVERIFY(server.listen());
    settings.ws_url = server.url().toString();
    start();
    const QString timeout = QStringLiteral("Тайм-аут ожидания ответа на команду \"запрос списка устройств\" (с момента "
                                           "начала передачи команды прошло более 500 миллисекунд).");
    QTRY_COMPARE_WITH_TIMEOUT(count(timeout), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(server.connections >= 2, 5000);
}

QTEST_MAIN(Tst_ws_connection)
#include "tst_ws_connection.moc"
