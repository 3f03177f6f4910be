#include "link/command_table.h"

#include "base/log.h"
#include "config/settings.h"

#include <QCoreApplication>

#include <iterator>

namespace {

constexpr unsigned module = 7;

QString tr_log(const char *text)
{
    return QCoreApplication::translate("log", text);
}

QString tr_proto(const char *text)
{
    return QCoreApplication::translate("proto", text);
}

QString text_lost_awaiting()
{
    static const QString text =
        tr_log("Соединение с сервером QUVO-LoRa утеряно во время ожидания ответа на команду «%1».");
    return text;
}

QString text_lost_awaiting_error()
{
    static const QString text = tr_log("Соединение с сервером QUVO-LoRa утеряно во время ожидания ответа "
                                       "на команду «%1». Код ошибки = %2 («%3»).");
    return text;
}

QString text_lost()
{
    static const QString text = tr_log("Утеряно соединение с сервером QUVO-LoRa.");
    return text;
}

QString text_lost_error()
{
    static const QString text = tr_log("Утеряно соединение с сервером QUVO-LoRa. Код ошибки = %1 («%2»).");
    return text;
}

QString text_reply_timeout()
{
    static const QString text = tr_log("Тайм-аут ожидания ответа на команду \"%1\" (с момента начала передачи "
                                       "команды прошло более %2 миллисекунд).");
    return text;
}

// In the order of Command_kind.
const Command_row *rows()
{
    static const Command_row table[] = {
        {&Server_protocol::handle_unexpected, QString(), nullptr, 0, Failure_end::before_ready,
         Failure_texts::connect_failed},
        {&Server_protocol::handle_auth_resp, tr_proto("авторизация пользователя"), &Settings::ws_auth_timeout, 93,
         Failure_end::before_ready, Failure_texts::reply_awaited},
        {&Server_protocol::handle_devlist_resp, tr_proto("запрос списка устройств"), &Settings::ws_devlist_timeout,
         141, Failure_end::link_lost, Failure_texts::reply_awaited},
        {&Server_protocol::handle_send_data_resp, tr_proto("добавить данные в очередь для отправки на устройство"),
         &Settings::ws_data_timeout, 214, Failure_end::link_lost, Failure_texts::reply_awaited},
        {&Server_protocol::handle_unsolicited, QString(), nullptr, 0, Failure_end::link_lost,
         Failure_texts::link_lost},
    };
    static_assert(std::size(table) == static_cast<std::size_t>(Command_kind::idle) + 1,
                  "one row per command kind");
    return table;
}

QString reply_awaited_line(const Command_row &row, const Link_failure &failure)
{
    switch (failure.event) {
    case Link_failure::Event::error:
        return text_lost_awaiting_error().arg(row.name).arg(failure.error_code).arg(failure.error_string);
    case Link_failure::Event::disconnected:
        return failure.shutting_down ? QString() : text_lost_awaiting().arg(row.name);
    case Link_failure::Event::timeout:
        return text_reply_timeout().arg(row.name).arg(settings.*row.timeout);
    }
    return QString();
}

// Ready and idle: no command names the loss, and no time-out may run.
QString link_lost_line(const Link_failure &failure)
{
    switch (failure.event) {
    case Link_failure::Event::error:
        return text_lost_error().arg(failure.error_code).arg(failure.error_string);
    case Link_failure::Event::disconnected:
        return failure.shutting_down ? QString() : text_lost();
    case Link_failure::Event::timeout:
        return unexpected_error_text(place_code(module, 61));
    }
    return QString();
}

} // namespace

const Command_row &command_row(Command_kind kind)
{
    return rows()[static_cast<int>(kind)];
}

QString command_name(Command_kind kind)
{
    return command_row(kind).name;
}

QString failure_line(Command_kind kind, const Link_failure &failure)
{
    const Command_row &row = command_row(kind);
    switch (row.texts) {
    case Failure_texts::reply_awaited:
        return reply_awaited_line(row, failure);
    case Failure_texts::connect_failed:
        return connect_failed_text();
    case Failure_texts::link_lost:
        return link_lost_line(failure);
    }
    return QString();
}

QString connect_failed_text()
{
    static const QString text = tr_log("Не удалось установить соединение с сервером QUVO-LoRa.");
    return text;
}
