// Reading a large device list: our pull reader (with the sort and the removal of
// duplicates) against the toolkit's JSON document walked to the same EUIs and names.
// Prints medians per device and throughput over the UTF-16 text. Times are the CPU
// time of this thread, so that other work on a busy machine counts less.

#include "app/log.h"
#include "app/shared_state.h"
#include "link/link_events.h"
#include "link/server_device.h"
#include "link/server_protocol.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

class Quiet_link : public Link_events {
public:
    void authorised() override {}
    void devices_list_complete() override { ++lists; }
    void command_complete(bool) override {}
    bool in_flight_owner(quint64 &) const override { return false; }
    bool deliver_modem_data(quint64, const QByteArray &, bool, quint32) override { return false; }

    int lists = 0;
};

// The EUIs in a scrambled order, so that sorting has work to do.
QString device_list_message(int devices)
{
    QString text = QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":true,\"devices_list\":[");
    for (int i = 0; i < devices; ++i) {
        const quint64 eui = 0x70B3D50000000000ULL + (quint64(i) * 2654435761ULL) % 0xFFFFFFFFULL;
        if (i)
            text += QLatin1Char(',');
        text += QStringLiteral("{\"devEui\":\"%1\",\"devName\":\"Счётчик воды №%2\",\"appEui\":\"70B3D57ED0000001\","
                               "\"class\":\"C\",\"lastSeen\":1649836800%3,\"fcntUp\":%4,\"attributes\":{\"rssi\":-%5,"
                               "\"snr\":7.25,\"tags\":[\"meter\",\"rs485\"]}}")
                    .arg(eui, 16, 16, QLatin1Char('0'))
                    .arg(i + 1)
                    .arg(i % 1000, 3, 10, QLatin1Char('0'))
                    .arg(i * 7 % 65536)
                    .arg(60 + i % 60);
    }
    text += QStringLiteral("]}");
    return text;
}

qint64 thread_ns()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 median(std::vector<qint64> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

qint64 time_ours(const QString &text, int expected)
{
    Quiet_link link;
    Server_protocol protocol(link);
    const qint64 start = thread_ns();
    protocol.read(text, &Server_protocol::handle_devlist_resp);
    const qint64 elapsed = thread_ns() - start;
    if (link.lists != 1 || reachable_modems.size() != expected)
        std::fprintf(stderr, "our reader read %d devices instead of %d\n", int(reachable_modems.size()), expected);
    return elapsed;
}

qint64 time_document(const QString &text, int expected)
{
    const qint64 start = thread_ns();
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    const QJsonArray list = document.object().value(QLatin1String("devices_list")).toArray();
    QVector<Server_device> devices;
    devices.reserve(list.size());
    for (const QJsonValue &entry : list) {
        const QJsonObject object = entry.toObject();
        Server_device device;
        device.eui = object.value(QLatin1String("devEui")).toString().toULongLong(nullptr, 16);
        device.name = object.value(QLatin1String("devName")).toString();
        devices.append(device);
    }
    const qint64 elapsed = thread_ns() - start;
    if (devices.size() != expected)
        std::fprintf(stderr, "the document gave %d devices instead of %d\n", int(devices.size()), expected);
    return elapsed;
}

void run(int devices, int rounds)
{
    const QString text = device_list_message(devices);
    std::vector<qint64> ours;
    std::vector<qint64> document;
    for (int i = 0; i < rounds; ++i) {
        ours.push_back(time_ours(text, devices));
        document.push_back(time_document(text, devices));
    }
    const double megabytes = text.size() * 2.0 / 1e6;
    const double ours_ns = median(ours);
    const double document_ns = median(document);
    std::printf("%7d devices, %.1f MB of UTF-16, median of %d rounds:\n", devices, megabytes, rounds);
    std::printf("  Ws_parser + handle_devlist_resp: %8.1f ns/device %8.1f MB/s\n", ours_ns / devices,
                megabytes / (ours_ns / 1e9));
    std::printf("  QJsonDocument::fromJson + walk:  %8.1f ns/device %8.1f MB/s\n", document_ns / devices,
                megabytes / (document_ns / 1e9));
    std::printf("  ratio: ours is %.2fx faster\n", document_ns / ours_ns);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    set_log_file_name("/dev/null");
    run(10000, 21);
    run(100000, 7);
    return 0;
}
