// Reading a large device list, four ways over the same UTF-16 text:
//   ours      Server_protocol::handle_devlist_resp (validation, sort, duplicate removal);
//   document  QJsonDocument::fromJson over the text in UTF-8, then a walk to the pairs;
//   rapidjson RapidJSON's SAX reader over the UTF-16 text, when its header is found;
//   bare      one pass that only extracts the (EUI, name) pairs, without any checks.
// The others keep the pairs in the reply's order. Rounds alternate the readers, so that a
// busy machine weighs on all of them alike; times are the CPU time of this thread.
// Prints per reader the median with the spread (quartiles) and the ratios, each ratio the
// median of the ratios within one round.

#include "base/log.h"
#include "link/link_events.h"
#include "link/link_servers.h"
#include "link/server_protocol.h"
#include "shared/server_device.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVector>

#if __has_include(<rapidjson/reader.h>)
#include <rapidjson/reader.h>
#define QUVO_HAVE_RAPIDJSON 1
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>
#include <vector>

namespace {

class Quiet_link : public Link_events, public Modem_uplinks {
public:
    void authorised() override {}
    void devices_listed(QVector<Server_device> list) override { devices.swap(list); }
    void devices_list_complete() override { ++lists; }
    void command_complete(bool) override {}
    bool in_flight_owner(quint64 &) const override { return false; }
    bool deliver_modem_data(quint64, const QByteArray &, bool, quint32) override { return false; }

    QVector<Server_device> devices;
    int lists = 0;
};

using Devices = QVector<Server_device>;

constexpr int most_devices = 100000;

// EUIs of one maker (a common prefix, as on a real server), no two alike, in random order as
// a server may list them, so that sorting has its full work to do.
quint64 eui_of(int i)
{
    static const std::vector<quint64> euis = [] {
        std::vector<quint64> all(most_devices);
        for (int k = 0; k < most_devices; ++k)
            all[k] = 0x70B3D50000000000ULL + quint64(k) * 7919;
        std::shuffle(all.begin(), all.end(), std::mt19937_64(2026));
        return all;
    }();
    return euis[i];
}

// About 120 units an entry, like a real server's list.
QString short_entry(int i)
{
    return QStringLiteral("{\"devEui\":\"%1\",\"devName\":\"Счётчик воды №%2\",\"appEui\":\"70B3D57ED0000001\","
                          "\"class\":\"C\",\"lastSeen\":1649836800%3}")
        .arg(eui_of(i), 16, 16, QLatin1Char('0'))
        .arg(i + 1)
        .arg(i % 1000, 3, 10, QLatin1Char('0'));
}

// Nested attributes of every JSON type, spaces and a line break.
QString long_entry(int i)
{
    return QStringLiteral("{\"devEui\": \"%1\", \"devName\": \"Счётчик воды №%2, подъезд \\\"%6\\\"\",\n"
                          " \"appEui\":\"70B3D57ED0000001\",\"class\":\"C\",\"lastSeen\":1649836800%3,\"fcntUp\":%4,"
                          "\"attributes\":{\"rssi\":-%5,\"snr\":7.25,\"tags\":[\"meter\",\"rs485\"],"
                          "\"location\":{\"lat\":55.7512,\"lon\":37.6184,\"alt\":1.5e2},\"active\":true,\"note\":null,"
                          "\"history\":[[1,2,3],[4,5,6],{\"gw\":\"0016C001FF10A235\",\"rssi\":-80}]}}")
        .arg(eui_of(i), 16, 16, QLatin1Char('0'))
        .arg(i + 1)
        .arg(i % 1000, 3, 10, QLatin1Char('0'))
        .arg(i * 7 % 65536)
        .arg(60 + i % 60)
        .arg(i % 9 + 1);
}

QString device_list_message(int devices, QString (*entry)(int))
{
    QString text = QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":true,\"devices_list\":[");
    for (int i = 0; i < devices; ++i) {
        if (i)
            text += QLatin1Char(',');
        text += entry(i);
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

// The list as handed to the link; it is freed, like the others', after the clock has stopped.
Devices read_ours(const QString &text)
{
    Quiet_link link;
    Server_protocol protocol(link, link);
    protocol.read(text, &Server_protocol::handle_devlist_resp);
    return std::move(link.devices);
}

Devices read_document(const QString &text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    const QJsonArray list = document.object().value(QLatin1String("devices_list")).toArray();
    Devices devices;
    devices.reserve(list.size());
    for (const QJsonValue &entry : list) {
        const QJsonObject object = entry.toObject();
        Server_device device;
        device.eui = object.value(QLatin1String("devEui")).toString().toULongLong(nullptr, 16);
        device.name = object.value(QLatin1String("devName")).toString();
        devices.append(device);
    }
    return devices;
}

quint64 hex16(const char16_t *p)
{
    quint64 value = 0;
    for (int i = 0; i < 16; ++i) {
        const unsigned c = p[i];
        value = value << 4 | (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return value;
}

#ifdef QUVO_HAVE_RAPIDJSON
// Collects devEui and devName of the entries (objects at depth 2).
class Rapid_handler : public rapidjson::BaseReaderHandler<rapidjson::UTF16<char16_t>, Rapid_handler> {
public:
    using Ch = char16_t;

    bool StartObject()
    {
        if (++depth == 2)
            devices.append(Server_device());
        return true;
    }
    bool EndObject(rapidjson::SizeType)
    {
        --depth;
        return true;
    }
    bool Key(const Ch *str, rapidjson::SizeType length, bool)
    {
        field = none;
        if (depth != 2)
            return true;
        if (length == 6 && std::memcmp(str, u"devEui", 12) == 0)
            field = eui;
        else if (length == 7 && std::memcmp(str, u"devName", 14) == 0)
            field = name;
        return true;
    }
    bool String(const Ch *str, rapidjson::SizeType length, bool)
    {
        if (field == eui && length == 16)
            devices.last().eui = hex16(str);
        else if (field == name)
            devices.last().name = QString(reinterpret_cast<const QChar *>(str), int(length));
        field = none;
        return true;
    }
    bool Default()
    {
        field = none;
        return true;
    }

    Devices devices;

private:
    enum Field { none, eui, name };
    Field field = none;
    int depth = 0;
};

Devices read_rapidjson(const QString &text)
{
    using Encoding = rapidjson::UTF16<char16_t>;
    rapidjson::GenericReader<Encoding, Encoding> reader;
    rapidjson::GenericStringStream<Encoding> stream(reinterpret_cast<const char16_t *>(text.utf16()));
    Rapid_handler handler;
    if (reader.Parse(stream, handler).IsError())
        std::fprintf(stderr, "RapidJSON refused the message\n");
    return handler.devices;
}
#endif

// One pass that trusts the text: the names of the fields of the entries decide, every
// other value is stepped over by its brackets and quotes.
const char16_t *skip_quoted(const char16_t *p)
{
    while (*p != '"')
        p += *p == '\\' ? 2 : 1;
    return p + 1;
}

Devices read_bare(const QString &text)
{
    Devices devices;
    const char16_t *p = reinterpret_cast<const char16_t *>(text.utf16());
    static const char16_t list_name[] = u"\"devices_list\":[";
    while (std::memcmp(p, list_name, sizeof list_name - 2) != 0)
        ++p;
    p += sizeof list_name / 2 - 1;
    while (*p == '{') {
        devices.append(Server_device());
        Server_device &device = devices.last();
        ++p;
        for (;;) {
            while (*p == ' ' || *p == '\n' || *p == ',')
                ++p;
            if (*p == '}') {
                ++p;
                break;
            }
            const char16_t *name = p + 1;
            p = skip_quoted(name);
            while (*p == ' ' || *p == ':')
                ++p;
            const int length = int(p - name);
            if (length >= 7 && std::memcmp(name, u"devEui\"", 14) == 0) {
                device.eui = hex16(p + 1);
                p += 18;
            } else if (length >= 8 && std::memcmp(name, u"devName\"", 16) == 0) {
                const char16_t *const first = ++p;
                while (*p != '"' && *p != '\\')
                    ++p;
                device.name = QString(reinterpret_cast<const QChar *>(first), int(p - first));
                // Escapes only as far as the messages here need them.
                while (*p != '"') {
                    device.name += QChar(*p == '\\' ? *++p : *p);
                    ++p;
                }
                ++p;
            } else {
                int depth = 0;
                for (;; ++p) {
                    const char16_t c = *p;
                    if (c == '"') {
                        p = skip_quoted(p + 1) - 1;
                    } else if (c == '{' || c == '[') {
                        ++depth;
                    } else if (c == '}' || c == ']') {
                        if (depth == 0)
                            break;
                        --depth;
                    } else if (c == ',' && depth == 0) {
                        break;
                    }
                }
            }
        }
        if (*p == ',')
            ++p;
    }
    return devices;
}

struct Reader {
    const char *name;
    Devices (*read)(const QString &);
    std::vector<qint64> times;
};

qint64 quartile(std::vector<qint64> times, int q)
{
    std::sort(times.begin(), times.end());
    return times[(times.size() - 1) * q / 4];
}

double median_ratio(const std::vector<qint64> &a, const std::vector<qint64> &b)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.size(); ++i)
        ratios.push_back(double(a[i]) / double(b[i]));
    std::sort(ratios.begin(), ratios.end());
    return ratios[ratios.size() / 2];
}

bool same_pairs(Devices a, Devices b)
{
    const auto by_eui = [](const Server_device &x, const Server_device &y) { return x.eui < y.eui; };
    std::stable_sort(a.begin(), a.end(), by_eui);
    std::stable_sort(b.begin(), b.end(), by_eui);
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].eui != b[i].eui || a[i].name != b[i].name)
            return false;
    }
    return true;
}

// When set, only this reader runs, and no ratios are printed: for profiling.
const char *only = nullptr;

void run(const char *shape, QString (*entry)(int), int devices, int rounds)
{
    const QString text = device_list_message(devices, entry);
    std::vector<Reader> readers = {
        {"ours", read_ours, {}},
        {"QJsonDocument + walk", read_document, {}},
#ifdef QUVO_HAVE_RAPIDJSON
        {"RapidJSON SAX (UTF-16)", read_rapidjson, {}},
#endif
        {"bare scan", read_bare, {}},
    };
    if (only) {
        readers.erase(std::remove_if(readers.begin(), readers.end(),
                                     [](const Reader &r) { return std::strcmp(r.name, only) != 0; }),
                      readers.end());
        if (readers.empty()) {
            std::fprintf(stderr, "no reader called \"%s\"\n", only);
            std::exit(2);
        }
    }
    const Devices expected = read_ours(text);
    for (Reader &reader : readers) {
        if (expected.size() != devices || !same_pairs(reader.read(text), expected)) {
            std::fprintf(stderr, "%s read other pairs than expected\n", reader.name);
            std::exit(1);
        }
    }
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < readers.size(); ++k) {
            Reader &reader = readers[(k + round) % readers.size()];
            const qint64 start = thread_ns();
            const Devices result = reader.read(text);
            reader.times.push_back(thread_ns() - start);
        }
    }

    std::printf("%s entries (%.0f units each), %d devices, %.1f MB of UTF-16, %d rounds:\n", shape,
                double(text.size()) / devices, devices, text.size() * 2.0 / 1e6, rounds);
    std::printf("  %-24s %10s %19s %9s %8s %8s\n", "", "ns/device", "(quartiles)", "MB/s", "ours/x", "x/bare");
    const Reader &ours = readers.front();
    const Reader &bare = readers.back();
    for (const Reader &reader : readers) {
        const double median = quartile(reader.times, 2);
        std::printf("  %-24s %10.1f (%7.1f - %7.1f) %9.0f %8.2f %8.2f\n", reader.name, median / devices,
                    double(quartile(reader.times, 1)) / devices, double(quartile(reader.times, 3)) / devices,
                    text.size() * 2.0 / 1e6 / (median / 1e9), only ? 1.0 : median_ratio(ours.times, reader.times),
                    only ? 1.0 : median_ratio(reader.times, bare.times));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    set_log_file_name("/dev/null");
    // bench_devlist [ROUNDS_FACTOR [READER]]
    const int scale = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    if (argc > 2)
        only = argv[2];
    run("short", short_entry, 10000, 31 * scale);
    run("short", short_entry, most_devices, 9 * scale);
    run("long", long_entry, 10000, 31 * scale);
    run("long", long_entry, most_devices, 9 * scale);
    return 0;
}
