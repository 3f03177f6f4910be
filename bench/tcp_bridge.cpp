// Figures of the TCP side of the bridge, measured side by side in one run against the
// network-server simulator on loopback. The simulator runs in a thread of its own, the
// program's exchange thread in another, and the clients (TCP or bare WebSocket) in the
// main thread, so that both paths cross the same thread boundaries:
//   1. round trip client -> program -> echo modem -> program -> client, against a bare
//      WebSocket round trip (send_data_req -> reply and echoed "rx") to the same simulator;
//   2. downlink messages per second with one command outstanding, with 1, 100 and 1000 served
//      modems listening in the exchange thread, on Qt's event dispatcher and on ours, against
//      a bare WebSocket client that runs in a thread of its own and sends the same commands
//      one after the other's reply;
//   3. 10,000 served modems that the server lists, on our dispatcher: every port up after the
//      first device list, a reconciliation with nothing changed, a periodic device list text in
//      to servers in line, memory per served modem, and the downlink rate against one modem's;
//   4. a flood: 50 clients writing as fast as they can against a server that answers late,
//      the program's memory and how long another modem and the polling wait meanwhile;
//   5. the round trip of one Modbus request to an RTU slave: a Modbus TCP master on a gateway
//      port against an RTU-over-TCP client on a raw port, at the shortest and the default pause;
//   6. the downlink rate of part 2 to an echo modem, with no monitor of the modem open and with
//      one that takes its rows as the window does.
// Prints medians (with the quartiles where rounds alternate); the figures depend on the
// machine and its load.

#include "base/log.h"
#include "config/devices.h"
#include "config/settings.h"
#include "exchange/engine.h"
#include "exchange/linux/epoll_dispatcher.h"
#include "exchange/modem_servers.h"
#include "link/link_events.h"
#include "link/server_protocol.h"
#include "link/ws_connection.h"
#include "lora_sim/sim_server.h"
#include "shared/modem_traffic.h"
#include "shared/shared_state.h"
#include "tcp/tcp_server.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QFile>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <string>
#include <memory>
#include <vector>

namespace {

constexpr Eui first_eui = 0x0011223300000000ULL;
const QByteArray payload("0123456789abcdef");

qint64 now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double quartile(std::vector<double> v, int q)
{
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) * q / 4];
}

// Runs this thread's event loop until done() or the time-out; false on time-out. The thread
// sleeps between events as the exchange thread does (a spinning client would be unfairly
// quick); a millisecond tick wakes it to look at what other threads changed.
bool wait_for(const std::function<bool()> &done, int timeout_ms = 10000)
{
    QTimer tick;
    tick.start(1);
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeout_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Ports that were free a moment ago, all different, below the range the system hands out for
// connections: with thousands of them, some connection would take one of those before the
// program listens there.
std::vector<quint16> free_ports(int n)
{
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    int port = 32768;
    if (range.open(QIODevice::ReadOnly))
        port = range.readAll().split('\t').value(0).trimmed().toInt();
    std::vector<std::unique_ptr<QTcpServer>> probes;
    std::vector<quint16> ports;
    while (int(ports.size()) < n && --port > 1024) {
        auto probe = std::make_unique<QTcpServer>();
        if (probe->listen(QHostAddress::Any, quint16(port))) {
            ports.push_back(quint16(port));
            probes.push_back(std::move(probe));
        }
    }
    return ports;
}

int server_count()
{
    QMutexLocker lock(&state_mutex);
    return port_views.size();
}

int client_count()
{
    QMutexLocker lock(&state_mutex);
    return clients_count;
}

Sim_modem modem(Eui eui, Modem_behaviour behaviour)
{
    Sim_modem m;
    m.eui = eui;
    m.name = QStringLiteral("m%1").arg(eui & 0xFFFF);
    m.behaviour = behaviour;
    return m;
}

void reset_all()
{
    reset_settings();
    reset_shared_state();
    reset_devices();
    settings.trace_tcp = Trace_level::err;
    settings.trace_ws = Trace_level::err;
    settings.interframe_delay = 1;
    settings.ws_reconnect_delay = 100;
    settings.ws_devlist_period = 60000;
}

// The simulator in a thread of its own; what the benches observe comes through atomics
// updated in that thread. `setup` runs there, before it listens.
class Sim_thread : public QThread {
public:
    explicit Sim_thread(QVector<Sim_modem> modems, std::function<void(Sim_server &)> setup = {})
        : modems(std::move(modems)), setup(std::move(setup))
    {
        start();
        ready.acquire();
    }
    ~Sim_thread() override
    {
        quit();
        wait();
    }

    // The reply to the next send_data_req comes this much later.
    void hold_next_reply(int ms)
    {
        QMetaObject::invokeMethod(
            sim,
            [this, ms] {
                Reply_fault &fault = sim->faults().send_data;
                fault.delay_ms = ms;
                fault.times = 1;
            },
            Qt::BlockingQueuedConnection);
    }

    QUrl url;
    std::atomic<int> downlinks{0};
    // When each downlink was accepted, in order.
    std::vector<qint64> downlink_ns = std::vector<qint64>(100000);
    std::atomic<qint64> first_devlist_request_ns{0};

protected:
    void run() override
    {
        Sim_server server;
        sim = &server;
        for (const Sim_modem &m : qAsConst(modems))
            server.add_modem(m);
        QObject::connect(&server, &Sim_server::downlink, [this] {
            const int i = downlinks;
            if (i < int(downlink_ns.size()))
                downlink_ns[i] = now_ns();
            ++downlinks;
        });
        QObject::connect(&server, &Sim_server::text_received, [this](const QString &text) {
            qint64 none = 0;
            if (text.contains(QLatin1String("get_device_appdata_req")))
                first_devlist_request_ns.compare_exchange_strong(none, now_ns());
        });
        if (setup)
            setup(server);
        server.listen();
        url = server.url();
        ready.release();
        exec();
    }

private:
    QVector<Sim_modem> modems;
    Sim_server *sim = nullptr;
    std::function<void(Sim_server &)> setup;
    QSemaphore ready;
};

QString downlink_text(Eui eui)
{
    return QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"%1\",\"data\":\"04%2\",\"port\":2}]}")
        .arg(format_eui(eui), QString::fromLatin1(payload.toHex()));
}

// The exchange thread's event dispatcher, as Engine::start chooses it, and the bare client's.
enum class Dispatcher { qt, epoll };

void choose(Dispatcher dispatcher)
{
    qputenv("QUVO_EVENT_DISPATCHER", dispatcher == Dispatcher::qt ? "qt" : "epoll");
}

// A bare WebSocket client of the simulator in a thread of its own on the same event
// dispatcher as the program's link: a burst is handed to it from the main thread, and it
// sends each downlink when the reply to the one before has come.
class Bare_thread : public QThread {
public:
    Bare_thread(const QUrl &url, Dispatcher dispatcher) : url(url)
    {
        if (dispatcher == Dispatcher::epoll)
            setEventDispatcher(new Epoll_dispatcher);
        start();
        ready.acquire();
    }
    ~Bare_thread() override
    {
        quit();
        wait();
    }

    void burst(Eui eui, int downlinks)
    {
        QMetaObject::invokeMethod(context, [this, eui, downlinks] {
            to_send = downlinks;
            target = eui;
            send_next();
        });
    }

protected:
    void run() override
    {
        QObject here;
        QWebSocket ws;
        context = &here;
        socket = &ws;
        bool authorised = false;
        QObject::connect(&ws, &QWebSocket::connected, [&ws] {
            ws.sendTextMessage(QStringLiteral("{\"cmd\":\"auth_req\",\"login\":\"l\",\"password\":\"p\"}"));
        });
        QObject::connect(&ws, &QWebSocket::textMessageReceived, [this, &authorised](const QString &) {
            if (!authorised) {
                authorised = true;
                ready.release();
                return;
            }
            send_next();
        });
        ws.open(url);
        exec();
    }

private:
    void send_next()
    {
        if (to_send == 0)
            return;
        --to_send;
        socket->sendTextMessage(downlink_text(target));
    }

    QUrl url;
    QSemaphore ready;
    QObject *context = nullptr;
    QWebSocket *socket = nullptr;
    int to_send = 0;
    Eui target = 0;
};

// A bare WebSocket client of the simulator, authorised.
class Bare_client {
public:
    explicit Bare_client(const QUrl &url)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString &) { ++texts; });
        socket.open(url);
        wait_for([this] { return socket.state() == QAbstractSocket::ConnectedState; });
        socket.sendTextMessage(QStringLiteral("{\"cmd\":\"auth_req\",\"login\":\"l\",\"password\":\"p\"}"));
        wait_for([this] { return texts == 1; });
    }

    // One downlink; waits for its reply and for `uplinks` "rx" messages.
    void round_trip(Eui eui, int uplinks)
    {
        texts = 0;
        socket.sendTextMessage(QStringLiteral("{\"cmd\":\"send_data_req\",\"data_list\":[{\"devEui\":\"%1\","
                                              "\"data\":\"04%2\",\"port\":2}]}")
                                   .arg(format_eui(eui), QString::fromLatin1(payload.toHex())));
        wait_for([this, uplinks] { return texts >= 1 + uplinks; });
    }

private:
    QWebSocket socket;
    int texts = 0;
};

// The program's exchange thread, running until it has `servers` TCP servers.
std::unique_ptr<Engine> start_engine(const QUrl &url, int servers)
{
    settings.ws_url = url.toString();
    auto engine = std::make_unique<Engine>();
    engine->start();
    wait_for([servers] { return server_count() == servers; }, 60000);
    return engine;
}

std::vector<std::unique_ptr<QTcpSocket>> connect_clients(const std::vector<quint16> &ports)
{
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (quint16 port : ports) {
        clients.emplace_back(new QTcpSocket);
        clients.back()->connectToHost(QHostAddress::LocalHost, port);
        clients.back()->waitForConnected(5000);
    }
    const int n = int(ports.size());
    wait_for([n] { return client_count() == n; });
    return clients;
}

void bench_round_trip()
{
    reset_all();
    constexpr int rounds = 300;
    Sim_thread sim({modem(first_eui, Modem_behaviour::echo)});
    const std::vector<quint16> ports = free_ports(1);
    served_model.add({first_eui, Device_params{51, ports[0]}});

    std::vector<double> bare, bridged;
    Bare_client ws(sim.url);
    auto engine = start_engine(sim.url, 1);
    auto clients = connect_clients(ports);
    QTcpSocket &client = *clients[0];
    // Alternated, so that both see the same load of the machine.
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        ws.round_trip(first_eui, 1);
        bare.push_back(t.nsecsElapsed() / 1000.0);

        t.restart();
        client.write(payload);
        QByteArray got;
        wait_for([&] {
            got += client.readAll();
            return got.size() >= payload.size();
        });
        bridged.push_back(t.nsecsElapsed() / 1000.0);
    }
    engine->stop(10000);
    const double b = median(bare), p = median(bridged);
    std::printf("1. round trip of 16 bytes through an echo modem, interframe_delay = 1 ms (median of %d):\n"
                "   bare WebSocket %.0f us, TCP client through the program %.0f us;\n"
                "   added by the program %.0f us, of which the 1 ms end-of-message pause is by design\n",
                rounds, b, p, p - b);
}

struct Rates {
    std::vector<double> bare, program, ratio;
    QByteArray dispatcher;
};

void print_rates(int served, const Rates &r)
{
    std::printf("   %4d served, %-22s bare %6.0f/s (%.0f - %.0f), through the program %6.0f/s (%.0f - %.0f), "
                "%3.0f%% of bare (%.0f - %.0f)\n",
                served, r.dispatcher.constData(), quartile(r.bare, 2), quartile(r.bare, 1), quartile(r.bare, 3),
                quartile(r.program, 2), quartile(r.program, 1), quartile(r.program, 3), 100 * quartile(r.ratio, 2),
                100 * quartile(r.ratio, 1), 100 * quartile(r.ratio, 3));
}

// Close to the most messages the link takes from one modem (Send_queue's cap).
constexpr int burst = 60;
constexpr int hold_ms = 1200;

// From the median gap between the downlinks after the held one: a burst lasts a few
// milliseconds, and one preemption by another process on a shared machine would weigh
// more than the path itself. A message that merged with its neighbour makes one fewer.
double burst_rate(const Sim_thread &sim, int first)
{
    std::vector<double> gaps;
    for (int i = first + 1; i + 1 < sim.downlinks; ++i)
        gaps.push_back(double(sim.downlink_ns[i + 1] - sim.downlink_ns[i]));
    return 1e9 / median(gaps);
}

// A burst from the client through the program behind a held reply; late counts the bursts not
// all queued before the held reply went out.
double program_burst(Sim_thread &sim, QTcpSocket &client, int &late)
{
    // Well above interframe_delay, so that a busy machine still cuts every message apart.
    constexpr int gap_ms = 10;
    const int first = sim.downlinks;
    sim.hold_next_reply(hold_ms);
    client.write(payload);
    client.flush();
    qint64 last_write = 0;
    for (int i = 1; i < burst; ++i) {
        QThread::msleep(gap_ms);
        client.write(payload);
        client.flush();
        last_write = now_ns();
    }
    wait_for([&] { return sim.downlinks - first == burst; }, hold_ms + 2000);
    if (sim.downlink_ns[first] < last_write + 2000000)
        ++late;
    return burst_rate(sim, first);
}

// Downlinks per second with one outstanding through the program with `served` modems
// listening and one client, beside the bare client. Each run starts the exchange thread
// afresh, on Qt's dispatcher and on ours in turn, and measures one bare burst and one
// through the program, in alternating order, the bare client on the same dispatcher. For
// both the simulator holds the first reply: the client writes the burst's messages (each
// ends at a pause), so that they queue up behind the held one in the program, as the bare
// client's wait in its thread; the rate is taken at the simulator over the downlinks that
// follow the held one. So both paths start from the same quiet threads and differ only by
// the program. Returns the rates on Qt's dispatcher and on ours.
std::pair<Rates, Rates> bench_downlink_rate(int served, int runs)
{
    reset_all();
    QVector<Sim_modem> list;
    for (int i = 0; i < served; ++i)
        list << modem(first_eui + i, Modem_behaviour::silent);
    Sim_thread sim(list);
    const std::vector<quint16> ports = free_ports(served);
    for (int i = 0; i < served; ++i)
        served_model.add({first_eui + i, Device_params{51, ports[i]}});
    Bare_thread bare_qt(sim.url, Dispatcher::qt);
    Bare_thread bare_epoll(sim.url, Dispatcher::epoll);

    const auto bare_burst = [&](Bare_thread &bare_client) {
        const int first = sim.downlinks;
        sim.hold_next_reply(hold_ms);
        bare_client.burst(first_eui, burst);
        wait_for([&] { return sim.downlinks - first == burst; }, hold_ms + 2000);
        return burst_rate(sim, first);
    };
    int late = 0;

    Rates by[2];
    for (int r = 0; r < runs; ++r) {
        for (int k = 0; k < 2; ++k) {
            const Dispatcher dispatcher = (r + k) % 2 ? Dispatcher::epoll : Dispatcher::qt;
            Rates &rates = by[int(dispatcher)];
            reset_shared_state();
            choose(dispatcher);
            auto engine = start_engine(sim.url, served);
            auto clients = connect_clients({ports[0]});
            if (server_count() != served || clients[0]->state() != QAbstractSocket::ConnectedState) {
                std::printf("   %4d served: only %d servers listen or the client could not connect\n", served,
                            server_count());
                return {};
            }
            rates.dispatcher = engine->eventDispatcher()->metaObject()->className();
            Bare_thread &bare_client = dispatcher == Dispatcher::epoll ? bare_epoll : bare_qt;
            double bare = 0, program = 0;
            if (r % 2 == 0) {
                bare = bare_burst(bare_client);
                program = program_burst(sim, *clients[0], late);
            } else {
                program = program_burst(sim, *clients[0], late);
                bare = bare_burst(bare_client);
            }
            rates.bare.push_back(bare);
            rates.program.push_back(program);
            rates.ratio.push_back(program / bare);
            clients.clear();
            engine->stop(30000);
        }
    }
    print_rates(served, by[0]);
    print_rates(served, by[1]);
    std::vector<double> gain;
    for (int r = 0; r < runs; ++r)
        gain.push_back(by[1].program[r] / by[0].program[r]);
    std::printf("   %4d served, ours / Qt's through the program %.2f (%.2f - %.2f)%s\n", served, quartile(gain, 2),
                quartile(gain, 1), quartile(gain, 3), late ? " (some bursts were not queued in time)" : "");
    return {by[0], by[1]};
}

void bench_downlink_rates()
{
    constexpr int runs = 9;
    std::printf("2. downlinks per second with one outstanding, bursts of 60, median of %d runs each with the "
                "exchange thread started afresh, alternating (quartiles):\n",
                runs);
    const bool was_set = qEnvironmentVariableIsSet("QUVO_EVENT_DISPATCHER");
    const QByteArray was = qgetenv("QUVO_EVENT_DISPATCHER");
    std::vector<std::pair<Rates, Rates>> all;
    for (int served : {1, 100, 1000})
        all.push_back(bench_downlink_rate(served, runs));
    if (was_set)
        qputenv("QUVO_EVENT_DISPATCHER", was);
    else
        qunsetenv("QUVO_EVENT_DISPATCHER");
    if (all.front().first.program.empty() || all.back().first.program.empty())
        return;
    const auto kept = [&](bool ours) {
        const Rates &one = ours ? all.front().second : all.front().first;
        const Rates &thousand = ours ? all.back().second : all.back().first;
        return 100 * quartile(thousand.program, 2) / quartile(one.program, 2);
    };
    std::printf("   with 1000 served the program keeps %.0f%% of its rate with 1 on Qt's dispatcher, %.0f%% on ours\n",
                kept(false), kept(true));
}

// The process's resident set in bytes.
double rss_bytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * 4096 : 0;
}

// What the link hears of a device list: it is installed and the servers are brought in line
// at once, as the link does.
class Reconciling_link : public Link_events {
public:
    explicit Reconciling_link(Modem_servers &servers) : servers(servers) {}
    void authorised() override {}
    void devices_listed(QVector<Server_device> devices) override
    {
        QMutexLocker lock(&state_mutex);
        reachable_modems.swap(devices);
    }
    void devices_list_complete() override { servers.reconcile(true, false); }
    void command_complete(bool) override {}
    bool in_flight_owner(quint64 &) const override { return false; }

private:
    Modem_servers &servers;
};

QString device_list_reply(int modems)
{
    QString text = QStringLiteral("{\"cmd\":\"get_device_appdata_resp\",\"status\":true,\"devices_list\":[");
    for (int i = 0; i < modems; ++i) {
        if (i)
            text += QLatin1Char(',');
        text += QStringLiteral("{\"devEui\":\"%1\",\"devName\":\"m%2\"}").arg(format_eui(first_eui + i)).arg(i);
    }
    return text + QStringLiteral("]}");
}

// Served modems that the server lists, on our dispatcher: every port up after the first
// device list, end to end; reconciliation with nothing changed; a periodic device list read,
// installed and reconciled (text in, servers in line); memory per served modem; and the
// downlink rate against the rate with one served modem, runs of the two alternating.
void bench_many_modems(int modems)
{
    reset_all();
    QVector<Sim_modem> list;
    for (int i = 0; i < modems; ++i)
        list << modem(first_eui + i, Modem_behaviour::silent);
    const std::vector<quint16> ports = free_ports(modems);
    for (int i = 0; i < modems; ++i)
        served_model.add({first_eui + i, Device_params{51, ports[i]}});
    choose(Dispatcher::epoll);

    // From the simulator reading the list request to every server listening.
    std::vector<double> up_ms, stop_ms;
    for (int r = 0; r < 5; ++r) {
        reset_shared_state();
        Sim_thread sim(list);
        auto engine = start_engine(sim.url, modems);
        const qint64 done = now_ns();
        if (server_count() == modems)
            up_ms.push_back((done - sim.first_devlist_request_ns) / 1e6);
        QElapsedTimer stopping;
        stopping.start();
        if (engine->stop(30000))
            stop_ms.push_back(stopping.nsecsElapsed() / 1e6);
    }

    // In this thread, with a link that never connects.
    reset_shared_state();
    std::vector<double> create_ms, same_us, list_ms, heap, rss;
    const QString reply = device_list_reply(modems);
    for (int r = 0; r < 5; ++r) {
        Modem_servers servers;
        Ws_connection link(servers);
        servers.attach(link.downlinks());
        Reconciling_link events(servers);
        Server_protocol protocol(events, servers);
        malloc_trim(0);
        const size_t heap_before = mallinfo2().uordblks;
        const double rss_before = rss_bytes();
        QElapsedTimer t;
        t.start();
        protocol.read(reply, &Server_protocol::handle_devlist_resp);
        create_ms.push_back(t.nsecsElapsed() / 1e6);
        if (server_count() != modems)
            continue;
        heap.push_back(double(mallinfo2().uordblks - heap_before) / modems);
        rss.push_back((rss_bytes() - rss_before) / modems);
        for (int i = 0; i < 21; ++i) {
            t.restart();
            servers.update();
            same_us.push_back(t.nsecsElapsed() / 1e3);
            t.restart();
            protocol.read(reply, &Server_protocol::handle_devlist_resp);
            list_ms.push_back(t.nsecsElapsed() / 1e6);
        }
        QMutexLocker lock(&state_mutex);
        reachable_modems.clear();
    }

    // Downlinks a second with one outstanding, from a client of the first modem, as in part 2.
    constexpr int runs = 9;
    constexpr int burst = 60;
    constexpr int hold_ms = 1200;
    std::vector<double> rate_one, rate_many, kept;
    for (int r = 0; r < runs; ++r) {
        double rates[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            const bool many = (r + k) % 2;
            const int served = many ? modems : 1;
            reset_all();
            for (int i = 0; i < served; ++i)
                served_model.add({first_eui + i, Device_params{51, ports[i]}});
            Sim_thread sim(many ? list : QVector<Sim_modem>{list.front()});
            auto engine = start_engine(sim.url, served);
            auto clients = connect_clients({ports[0]});
            const int first = sim.downlinks;
            sim.hold_next_reply(hold_ms);
            for (int i = 0; i < burst; ++i) {
                clients[0]->write(payload);
                clients[0]->flush();
                QThread::msleep(10);
            }
            wait_for([&] { return sim.downlinks - first == burst; }, hold_ms + 5000);
            std::vector<double> gaps;
            for (int i = first + 1; i + 1 < sim.downlinks; ++i)
                gaps.push_back(double(sim.downlink_ns[i + 1] - sim.downlink_ns[i]));
            rates[many] = 1e9 / median(gaps);
            clients.clear();
            engine->stop(30000);
        }
        rate_one.push_back(rates[0]);
        rate_many.push_back(rates[1]);
        kept.push_back(rates[1] / rates[0]);
    }
    choose(Dispatcher::qt);
    qunsetenv("QUVO_EVENT_DISPATCHER");

    const auto spread = [](const std::vector<double> &v, const char *format) {
        if (v.empty())
            return std::string("-");
        char text[160];
        const QByteArray f = QByteArray(format) + " (" + format + " - " + format + ")";
        std::snprintf(text, sizeof text, f.constData(), quartile(v, 2), quartile(v, 1), quartile(v, 3));
        return std::string(text);
    };
    for (double &k : kept)
        k *= 100;
    std::printf("3. %d served modems that the server lists, on our dispatcher (medians, quartiles):\n", modems);
    std::printf("   every port listening after the first device list, end to end: %s ms\n",
                spread(up_ms, "%.0f").c_str());
    std::printf("   orderly stop (the link closed, every server gone, the thread ended): %s ms\n",
                spread(stop_ms, "%.0f").c_str());
    std::printf("   first device list read, installed and every server created, in this thread on Qt's "
                "dispatcher: %s ms\n",
                spread(create_ms, "%.0f").c_str());
    std::printf("   reconciliation with nothing changed: %s us\n", spread(same_us, "%.0f").c_str());
    std::printf("   periodic device list read, installed and reconciled (text in, servers in line): %s ms\n",
                spread(list_ms, "%.1f").c_str());
    std::printf("   memory per served modem: heap %s bytes, resident %s bytes\n", spread(heap, "%.0f").c_str(),
                spread(rss, "%.0f").c_str());
    std::printf("   downlinks a second with one outstanding: 1 served %s, %d served %s; %d served keep %s%%\n",
                spread(rate_one, "%.0f").c_str(), modems, spread(rate_many, "%.0f").c_str(), modems,
                spread(kept, "%.0f").c_str());
}

// ---- 4. Flood ----

// The process's resident set in MB (the program, the simulator and the clients together).
double rss_mb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * 4096 / (1 << 20) : 0;
}

double heap_mb()
{
    return double(mallinfo2().uordblks) / (1 << 20);
}

// 50 clients write 10 MB each in messages of 1000 bytes, one every 5 ms (well past the pause
// that ends a message), and reconnect whenever the program closes them. A 51st modem's
// client writes 16 bytes, waits until the simulator has them, pauses 20 ms, and again.
// The run ends when the clients are done, the process passes the RSS limit (a program
// that queues without bound would take the machine down) or after two minutes.
void bench_flood()
{
    reset_all();
    constexpr int flooders = 50;
    constexpr qint64 per_client = 10 << 20;
    constexpr int message = 1000;
    constexpr int reply_ms = 5;
    const double rss_limit = qEnvironmentVariableIntValue("QUVO_FLOOD_RSS_LIMIT_MB") > 0
                                 ? qEnvironmentVariableIntValue("QUVO_FLOOD_RSS_LIMIT_MB")
                                 : 2048;
    settings.ws_devlist_period = 1000;
    const Eui probe_eui = first_eui + flooders;
    QVector<Sim_modem> list;
    for (int i = 0; i <= flooders; ++i)
        list << modem(first_eui + i, Modem_behaviour::silent);
    // When the probe modem's downlinks and the device-list requests reach the simulator.
    std::atomic<int> probe_downlinks{0};
    std::atomic<qint64> probe_ns{0}, devlist_ns{0}, worst_devlist_gap_ns{0};
    Sim_thread sim(list, [&](Sim_server &server) {
        server.faults().send_data.delay_ms = reply_ms;
        QObject::connect(&server, &Sim_server::text_received, [&, probe = format_eui(probe_eui)](const QString &text) {
            const qint64 now = now_ns();
            if (text.contains(QLatin1String("get_device_appdata_req"))) {
                const qint64 last = devlist_ns.exchange(now);
                if (last && now - last > worst_devlist_gap_ns)
                    worst_devlist_gap_ns = now - last;
            } else if (text.contains(probe)) {
                probe_ns = now;
                ++probe_downlinks;
            }
        });
    });
    const std::vector<quint16> ports = free_ports(flooders + 1);
    for (int i = 0; i <= flooders; ++i)
        served_model.add({first_eui + i, Device_params{9999, ports[i]}});
    auto engine = start_engine(sim.url, flooders + 1);
    auto clients = connect_clients(ports);
    const std::unique_ptr<QTcpSocket> probe = std::move(clients.back());
    clients.pop_back();

    const double rss_start = rss_mb(), heap_start = heap_mb();
    double rss_peak = rss_start, heap_peak = heap_start;
    std::vector<qint64> written(flooders, 0);
    int reconnects = 0;
    const QByteArray chunk(message, 'f');
    auto flood_done = [&] {
        return std::all_of(written.begin(), written.end(), [](qint64 w) { return w >= per_client; });
    };
    QTimer writer;
    writer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&writer, &QTimer::timeout, [&] {
        for (int i = 0; i < flooders; ++i) {
            QTcpSocket &c = *clients[i];
            if (written[i] >= per_client)
                continue;
            if (c.state() == QAbstractSocket::UnconnectedState) {
                ++reconnects;
                c.connectToHost(QHostAddress::LocalHost, ports[i]);
                continue;
            }
            // The clients' own buffers would count in the resident set: write only what the
            // program takes.
            if (c.state() == QAbstractSocket::ConnectedState && c.bytesToWrite() < 4 * message)
                written[i] += c.write(chunk);
        }
        rss_peak = std::max(rss_peak, rss_mb());
        heap_peak = std::max(heap_peak, heap_mb());
    });
    writer.start(5);

    qint64 probe_sent_ns = 0;
    std::vector<double> waits_ms;
    int probe_seen = 0;
    QElapsedTimer pause;
    QTimer prober;
    QObject::connect(&prober, &QTimer::timeout, [&] {
        if (probe_sent_ns && probe_downlinks > probe_seen) {
            probe_seen = probe_downlinks;
            waits_ms.push_back((probe_ns - probe_sent_ns) / 1e6);
            probe_sent_ns = 0;
            pause.start();
        } else if (!probe_sent_ns && (!pause.isValid() || pause.elapsed() >= 20)) {
            probe_sent_ns = now_ns();
            probe->write(payload);
        }
    });
    prober.start(1);

    QElapsedTimer run;
    run.start();
    const char *end = "the clients were done";
    wait_for([&] {
        if (rss_peak > rss_limit) {
            end = "the RSS limit was passed";
            return true;
        }
        return flood_done();
    }, 120000);
    if (!flood_done() && rss_peak <= rss_limit)
        end = "two minutes had passed";
    const double run_s = run.nsecsElapsed() / 1e9;
    writer.stop();
    prober.stop();
    // A message still waiting at the end counts with the time it has waited so far.
    const double pending_ms = probe_sent_ns ? (now_ns() - probe_sent_ns) / 1e6 : 0;
    const double worst_ms =
        std::max(pending_ms, waits_ms.empty() ? 0 : *std::max_element(waits_ms.begin(), waits_ms.end()));
    qint64 total = 0;
    for (qint64 w : written)
        total += w;
    for (auto &c : clients)
        c->disconnectFromHost();
    wait_for([] { return client_count() == 1; });
    const double rss_end = rss_mb(), heap_end = heap_mb();
    const int downlinks = sim.downlinks - probe_seen;
    engine->stop(30000);

    std::printf("4. flood: %d clients writing %d-byte messages every 5 ms (up to %lld MB each), replies after "
                "%d ms:\n"
                "   ran %.1f s until %s; %.0f MB written, %d flood downlinks sent, %d reconnections\n"
                "   RSS start %.0f MB, peak %.0f MB, end %.0f MB (heap in use %.0f, %.0f, %.0f MB)\n"
                "   second modem's wait: worst %.0f ms%s, median %.1f ms of %d sent; polling's longest gap %.0f ms "
                "(period 1000 ms)\n",
                flooders, message, per_client >> 20, reply_ms, run_s, end, total / 1e6, downlinks, reconnects,
                rss_start, rss_peak, rss_end, heap_start, heap_peak, heap_end, worst_ms,
                pending_ms >= worst_ms && pending_ms > 0 ? " (not sent by the end)" : "", median(waits_ms),
                int(waits_ms.size()), worst_devlist_gap_ns / 1e6);
    // Measured with this harness on the queue in arrival order without a cap (three runs on a
    // loaded two-core machine; overlong messages, merged while the program lagged, cut some
    // clients off and freed their queues, hence the spread).
    std::printf("   before the shared queue: RSS peak 237-476 MB, end 233-467 MB; second modem's wait worst "
                "8.3-9.1 s, median 2.0-2.9 s; polling's longest gap 9.6-10.7 s\n");
}

// One register read, a round at a time on each port in turn: the raw client's request ends
// at its pause, the master's where its MBAP header says.
void bench_modbus(int interframe_delay)
{
    reset_all();
    settings.interframe_delay = std::uint32_t(interframe_delay);
    constexpr int rounds = 200;
    const Eui raw_eui = first_eui;
    const Eui gateway_eui = first_eui + 1;
    Sim_thread sim({modem(raw_eui, Modem_behaviour::modbus), modem(gateway_eui, Modem_behaviour::modbus)});
    const std::vector<quint16> ports = free_ports(2);
    served_model.add({raw_eui, Device_params{51, ports[0], Device_mode::raw}});
    served_model.add({gateway_eui, Device_params{51, ports[1], Device_mode::modbus_tcp}});
    auto engine = start_engine(sim.url, 2);
    auto clients = connect_clients(ports);
    const QByteArray rtu = QByteArray::fromHex("010300000001840a");  // read register 0 of unit 1
    const QByteArray mbap = QByteArray::fromHex("00010000000601" "0300000001");
    std::vector<double> raw, gateway;
    const auto round_trip = [](QTcpSocket &client, const QByteArray &request, int reply_size) {
        QElapsedTimer t;
        t.start();
        client.write(request);
        QByteArray got;
        wait_for([&] {
            got += client.readAll();
            return got.size() >= reply_size;
        });
        return t.nsecsElapsed() / 1000.0;
    };
    for (int i = 0; i < rounds; ++i) {
        raw.push_back(round_trip(*clients[0], rtu, 7));
        gateway.push_back(round_trip(*clients[1], mbap, 11));
    }
    engine->stop(10000);
    const double r = median(raw), g = median(gateway);
    std::printf("   interframe_delay %2d ms: RTU over TCP on a raw port %6.0f us (%.0f - %.0f), Modbus TCP on a "
                "gateway port %6.0f us (%.0f - %.0f); gateway/raw %.2f\n",
                interframe_delay, r, quartile(raw, 1), quartile(raw, 3), g, quartile(gateway, 1),
                quartile(gateway, 3), g / r);
}

void bench_modbus_round_trips()
{
    std::printf("5. round trip of a Modbus register read to an RTU slave, simulator delays zero "
                "(median and quartiles of 200, alternated):\n");
    bench_modbus(1);
    bench_modbus(15);
}

// What a monitor costs the exchange thread: with one open, every message and every echo also
// leaves a row, and the main thread takes the rows as the window does, every 250 ms. The
// messages' rows are left as they are queued, before the held reply goes; the rate takes in the
// echoes' rows and the main thread's takes, which contend for state_mutex.
void bench_monitor_cost()
{
    constexpr int runs = 15;
    reset_all();
    choose(Dispatcher::epoll);
    Sim_thread sim({modem(first_eui, Modem_behaviour::echo)});
    const std::vector<quint16> ports = free_ports(1);
    // A busy machine may join two messages; the client must not be cut for that.
    served_model.add({first_eui, Device_params{9999, ports[0]}});
    auto engine = start_engine(sim.url, 1);
    auto clients = connect_clients({ports[0]});
    if (server_count() != 1 || clients[0]->state() != QAbstractSocket::ConnectedState) {
        std::printf("6. the server does not listen or the client could not connect\n");
        return;
    }
    QTcpSocket &client = *clients[0];
    // The echoes are read as they come, as a client would.
    QObject::connect(&client, &QTcpSocket::readyRead, [&client] { client.readAll(); });
    std::size_t rows = 0;
    QTimer taker;
    taker.setInterval(250);
    QObject::connect(&taker, &QTimer::timeout, [&rows] { rows += take_monitor_batch(first_eui).rows.size(); });
    int late = 0;
    std::vector<double> without, with, ratio;
    for (int r = 0; r < runs; ++r) {
        double rate[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            const bool watched = (r + k) % 2 == 1;
            if (watched) {
                watch_modem(first_eui, true);
                taker.start();
            }
            rate[watched] = program_burst(sim, client, late);
            if (watched) {
                // The last rows of the burst are taken too.
                wait_for([] { return false; }, 300);
                taker.stop();
                watch_modem(first_eui, false);
            }
        }
        without.push_back(rate[0]);
        with.push_back(rate[1]);
        ratio.push_back(rate[1] / rate[0]);
    }
    std::printf("6. downlinks per second to an echo modem with one outstanding, bursts of 60, %d runs alternated "
                "(median and quartiles):\n"
                "   no monitor %6.0f/s (%.0f - %.0f), one monitor open %6.0f/s (%.0f - %.0f), with / without %.2f "
                "(%.2f - %.2f); %zu rows taken%s\n",
                runs, quartile(without, 2), quartile(without, 1), quartile(without, 3), quartile(with, 2),
                quartile(with, 1), quartile(with, 3), quartile(ratio, 2), quartile(ratio, 1), quartile(ratio, 3),
                rows, late ? " (some bursts were not queued in time)" : "");
    clients.clear();
    engine->stop(30000);
    qunsetenv("QUVO_EVENT_DISPATCHER");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    set_log_file_name(dir.filePath(QStringLiteral("bench.log")).toUtf8());
    // The dispatcher weighs on every event: part 2 compares Qt's with ours in the exchange
    // thread; QT_NO_GLIB=1 chooses Qt's other one, QUVO_EVENT_DISPATCHER=qt Qt's for parts 1, 3 and 4.
    std::printf("event dispatcher of Qt: %s\n", QAbstractEventDispatcher::instance()->metaObject()->className());
    // "rates" alone runs only the downlink rates, "scale" the 10,000 modems, "flood" only the flood,
    // "modbus" only the gateway's round trips, "monitor" only the cost of a monitor.
    const QByteArray only = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (only.isEmpty())
        bench_round_trip();
    if (only.isEmpty() || only == "rates")
        bench_downlink_rates();
    if (only.isEmpty() || only == "scale")
        bench_many_modems(10000);
    if (only.isEmpty() || only == "flood")
        bench_flood();
    if (only.isEmpty() || only == "modbus")
        bench_modbus_round_trips();
    if (only.isEmpty() || only == "monitor")
        bench_monitor_cost();
    return 0;
}
