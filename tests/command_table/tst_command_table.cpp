#include "config/settings.h"
#include "link/command_table.h"
#include "support/test_support.h"

#include <QtTest>

// The table alone: what each kind of awaited reply reads with, and how each failure of the
// connection is told and ended while it is awaited.

namespace {

using Handler = Server_protocol::Handler;
using Event = Link_failure::Event;

const QString connect_failed = QStringLiteral("Не удалось установить соединение с сервером QUVO-LoRa.");
const QString auth = QStringLiteral("авторизация пользователя");
const QString devlist = QStringLiteral("запрос списка устройств");
const QString send_data = QStringLiteral("добавить данные в очередь для отправки на устройство");

QString lost_awaiting(const QString &name)
{
    return QStringLiteral("Соединение с сервером QUVO-LoRa утеряно во время ожидания ответа на команду «%1».")
        .arg(name);
}

QString lost_awaiting_error(const QString &name)
{
    return QStringLiteral("Соединение с сервером QUVO-LoRa утеряно во время ожидания ответа на команду «%1». "
                          "Код ошибки = 1 («Remote host closed»).")
        .arg(name);
}

QString reply_timeout(const QString &name, int milliseconds)
{
    return QStringLiteral("Тайм-аут ожидания ответа на команду \"%1\" (с момента начала передачи команды прошло "
                          "более %2 миллисекунд).")
        .arg(name)
        .arg(milliseconds);
}

} // namespace

Q_DECLARE_METATYPE(Handler)
Q_DECLARE_METATYPE(Command_kind)
Q_DECLARE_METATYPE(Event)
Q_DECLARE_METATYPE(Failure_end)

class Tst_command_table : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void rows_data();
    void rows();
    void failures_data();
    void failures();
};

void Tst_command_table::init()
{
    reset_process_state();
    // Distinct values show that each time-out message reads its own setting.
    settings.ws_auth_timeout = 3100;
    settings.ws_devlist_timeout = 3200;
    settings.ws_data_timeout = 3300;
}

void Tst_command_table::cleanup()
{
    reset_process_state();
}

void Tst_command_table::rows_data()
{
    QTest::addColumn<Command_kind>("kind");
    QTest::addColumn<Handler>("handler");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("timeout");
    // The internal error when the time-out cannot be started.
    QTest::addColumn<unsigned>("place");

    QTest::newRow("unready") << Command_kind::unready << Handler(&Server_protocol::handle_unexpected) << QString()
                             << -1 << 0u;
    QTest::newRow("auth_req") << Command_kind::auth_req << Handler(&Server_protocol::handle_auth_resp) << auth
                              << 3100 << 93u;
    QTest::newRow("get_device_appdata_req") << Command_kind::get_device_appdata_req
                                            << Handler(&Server_protocol::handle_devlist_resp) << devlist << 3200
                                            << 141u;
    QTest::newRow("send_data_req") << Command_kind::send_data_req
                                   << Handler(&Server_protocol::handle_send_data_resp) << send_data << 3300 << 214u;
    QTest::newRow("idle") << Command_kind::idle << Handler(&Server_protocol::handle_unsolicited) << QString() << -1
                          << 0u;
}

void Tst_command_table::rows()
{
    QFETCH(Command_kind, kind);
    QFETCH(Handler, handler);
    QFETCH(QString, name);
    QFETCH(int, timeout);
    QFETCH(unsigned, place);

    const Command_row &row = command_row(kind);
    QVERIFY(row.reply_handler == handler);
    QCOMPARE(command_name(kind), name);
    QCOMPARE(row.timeout ? int(settings.*row.timeout) : -1, timeout);
    QCOMPARE(row.timer_place, place);
}

void Tst_command_table::failures_data()
{
    QTest::addColumn<Command_kind>("kind");
    QTest::addColumn<Event>("event");
    QTest::addColumn<bool>("shutting_down");
    QTest::addColumn<QString>("line");
    QTest::addColumn<Failure_end>("end");

    const auto before_ready = Failure_end::before_ready;
    const auto link_lost = Failure_end::link_lost;

    // The connection is up, but nothing may come: whatever happens, it "could not be made".
    QTest::newRow("unready error") << Command_kind::unready << Event::error << false << connect_failed
                                   << before_ready;
    QTest::newRow("unready disconnected") << Command_kind::unready << Event::disconnected << false << connect_failed
                                          << before_ready;
    QTest::newRow("unready disconnected at shutdown")
        << Command_kind::unready << Event::disconnected << true << connect_failed << before_ready;
    QTest::newRow("unready timeout") << Command_kind::unready << Event::timeout << false << connect_failed
                                     << before_ready;

    const struct {
        const char *tag;
        Command_kind kind;
        QString name;
        int timeout;
        Failure_end end;
    } commands[] = {
        {"auth_req", Command_kind::auth_req, auth, 3100, before_ready},
        {"get_device_appdata_req", Command_kind::get_device_appdata_req, devlist, 3200, link_lost},
        {"send_data_req", Command_kind::send_data_req, send_data, 3300, link_lost},
    };
    for (const auto &c : commands) {
        const QByteArray tag(c.tag);
        QTest::newRow(tag + " error") << c.kind << Event::error << false << lost_awaiting_error(c.name) << c.end;
        QTest::newRow(tag + " disconnected") << c.kind << Event::disconnected << false << lost_awaiting(c.name)
                                             << c.end;
        // A close asked for by shutdown is no loss worth telling.
        QTest::newRow(tag + " disconnected at shutdown") << c.kind << Event::disconnected << true << QString()
                                                         << c.end;
        QTest::newRow(tag + " timeout") << c.kind << Event::timeout << false << reply_timeout(c.name, c.timeout)
                                        << c.end;
    }

    QTest::newRow("idle error") << Command_kind::idle << Event::error << false
                                << QStringLiteral("Утеряно соединение с сервером QUVO-LoRa. Код ошибки = 1 "
                                                  "(«Remote host closed»).")
                                << link_lost;
    QTest::newRow("idle disconnected") << Command_kind::idle << Event::disconnected << false
                                       << QStringLiteral("Утеряно соединение с сервером QUVO-LoRa.") << link_lost;
    QTest::newRow("idle disconnected at shutdown") << Command_kind::idle << Event::disconnected << true << QString()
                                                   << link_lost;
    // No time-out runs while nothing is awaited.
    QTest::newRow("idle timeout") << Command_kind::idle << Event::timeout << false
                                  << QStringLiteral("Неожиданная ошибка №7.61.") << link_lost;
}

void Tst_command_table::failures()
{
    QFETCH(Command_kind, kind);
    QFETCH(Event, event);
    QFETCH(bool, shutting_down);
    QFETCH(QString, line);
    QFETCH(Failure_end, end);

    const Link_failure failure = event == Event::error ? Link_failure::error(1, QStringLiteral("Remote host closed"))
        : event == Event::disconnected                   ? Link_failure::disconnected(shutting_down)
                                                         : Link_failure::timeout();
    QCOMPARE(failure_line(kind, failure), line);
    QCOMPARE(command_row(kind).end, end);
}

QTEST_GUILESS_MAIN(Tst_command_table)
#include "tst_command_table.moc"
