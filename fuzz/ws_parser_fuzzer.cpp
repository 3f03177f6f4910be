// Feeds arbitrary UTF-16 text to every reply handler of the server protocol.
// Input: one byte that chooses the handler and the state of the in-flight command,
// then the message as UTF-16 code units, little-endian.

#include "base/err.h"
#include "base/log.h"
#include "link/link_events.h"
#include "link/link_servers.h"
#include "link/server_protocol.h"

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// Stands in for the link and the servers: counts what the handlers report.
class Counting_link : public Link_events, public Modem_uplinks {
public:
    void authorised() override { ++events; }
    void devices_listed(QVector<Server_device> devices) override { events += quint64(devices.size()); }
    void devices_list_complete() override { ++events; }
    void command_complete(bool status) override { events += status ? 1 : 2; }
    bool in_flight_owner(quint64 &eui) const override
    {
        eui = 0x0011223344556677;
        return has_owner;
    }
    bool deliver_modem_data(quint64 eui, const QByteArray &data, bool has_fcnt, quint32 fcnt) override
    {
        if (eui != 0x0011223344556677 && eui != 0)
            return false;
        events += data.size() + (has_fcnt ? fcnt % 7 : 0);
        return true;
    }

    bool has_owner = true;
    quint64 events = 0;
};

const Server_protocol::Handler handlers[] = {
    &Server_protocol::handle_auth_resp,      &Server_protocol::handle_devlist_resp,
    &Server_protocol::handle_send_data_resp, &Server_protocol::handle_unsolicited,
    &Server_protocol::handle_unexpected,
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Every refused message is logged; the log and the toolkit's remarks on it are not wanted here.
    set_log_file_name("/dev/null");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const unsigned choice = data[0];
    const std::size_t units = (size - 1) / 2;
    QString text(static_cast<int>(units), Qt::Uninitialized);
    for (std::size_t i = 0; i < units; ++i)
        text[static_cast<int>(i)] = QChar(static_cast<ushort>(data[1 + 2 * i] | data[2 + 2 * i] << 8));

    Counting_link link;
    link.has_owner = choice & 0x80;
    Server_protocol protocol(link, link);
    try {
        protocol.read(text, handlers[(choice & 0x7F) % (sizeof handlers / sizeof handlers[0])]);
    } catch (const Err &) {
    }
    return 0;
}
