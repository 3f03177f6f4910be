#include "soak/soak_run.h"

#include "lora_sim/uplink_packets.h"

#include <QRandomGenerator>
#include <QTextStream>

#include <algorithm>

namespace {

constexpr quint64 first_eui = 0x70B3D50000100000ULL;
constexpr int tick_ms = 50;
constexpr int progress_line_ms = 10000;
// A client fault waits this long for the client's reply to be under way before it strikes anyway.
constexpr int reply_wait_ms = 5000;
// Faults strike only while every client has this many requests left, so that each can recover.
constexpr int requests_to_recover = 5;
// How long a client waits for a reply that lost a packet before it lets go of its connection: the
// program holds the incomplete group until the modem's next one and has nothing to close it for.
constexpr int lost_reply_wait_ms = 1000;
// Far fewer counters than the program remembers of a modem.
constexpr quint32 recent_fcnts = 100;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void print(const QString &line)
{
    out() << line << Qt::endl;
}

QString megabytes(qint64 kib)
{
    return QString::number(double(kib) / 1024.0, 'f', 1) + QStringLiteral(" MB");
}

// Modems differ in packet size, type, order and repeats, so that reassembly is tried every way.
Sim_modem modem_for(int index, quint64 eui)
{
    static const int sizes[] = {12, 23, 40, 51, 100};
    Sim_modem modem;
    modem.eui = eui;
    modem.name = QStringLiteral("Soak %1").arg(index);
    modem.echo.packet_size = sizes[index % 5];
    modem.echo.packet_type = index % 2 ? 0x13 : 0x03;
    modem.echo.shuffle = index % 3 == 0;
    modem.echo.duplicate = index % 7 == 3;
    modem.echo.repeat_copy = index % 7 == 5;
    return modem;
}

QString recovery_summary(const QVector<qint64> &times_ms)
{
    if (times_ms.isEmpty())
        return QStringLiteral("average 0.00 s, worst 0.00 s");
    qint64 total = 0;
    for (qint64 ms : times_ms)
        total += ms;
    return QStringLiteral("average %1 s, worst %2 s")
        .arg(double(total) / times_ms.size() / 1000.0, 0, 'f', 2)
        .arg(double(*std::max_element(times_ms.begin(), times_ms.end())) / 1000.0, 0, 'f', 2);
}

}  // namespace

Soak_run::Soak_run(const Soak_options &soak_options, QObject *parent)
    : QObject(parent)
    , options(soak_options)
    , program(soak_options.program)
    , random(soak_options.seed)
{
    ticker.setInterval(tick_ms);
    connect(&ticker, &QTimer::timeout, this, &Soak_run::on_tick);
    connect(&program, &Program_under_test::ended, this,
            [this](int code, QProcess::ExitStatus status) {
                on_program_ended(status == QProcess::CrashExit ? -1 : code);
            });
}

Soak_run::~Soak_run() = default;

bool Soak_run::start(QString *error)
{
    QVector<Served_modem> served;
    const QVector<quint16> ports = pick_free_ports(options.modems, error);
    if (ports.size() < options.modems)
        return false;
    for (int i = 0; i < options.modems; ++i) {
        euis.append(first_eui + quint64(i));
        Sim_modem modem = modem_for(i, euis.at(i));
        if (options.modbus) {
            modem.behaviour = Modem_behaviour::modbus;
            modem.modbus.registers = options.masters * options.pipeline * registers_per_block;
            // Some slaves send a corrupt copy before each reply, which the gateway must pass over.
            modem.modbus.bad_crc = i % 4 == 1;
        }
        sim.add_modem(modem);
        served.append({euis.at(i), ports.at(i), options.max_length, options.modbus});
    }
    if (!sim.listen()) {
        *error = QStringLiteral("the simulator cannot listen: %1").arg(sim.error_string());
        return false;
    }
    if (!program.start(sim.url(), served, options.timings, error))
        return false;

    for (int i = 0; i < options.faults; ++i)
        fault_points.append(0.05 + 0.8 * random.generateDouble());
    std::sort(fault_points.begin(), fault_points.end());

    print(QStringLiteral("soak: %1 modems%2 x %3, %4 faults (%5), seed %6")
              .arg(options.modems)
              .arg(options.modbus ? QStringLiteral(" with %1 Modbus masters each, %2 requests outstanding per master")
                                        .arg(options.masters)
                                        .arg(options.pipeline)
                                  : QString())
              .arg(options.requests >= 0 ? QStringLiteral("%1 requests").arg(options.requests)
                                         : QStringLiteral("%1 s").arg(options.seconds))
              .arg(options.faults)
              .arg([this] {
                  QStringList names;
                  for (Fault_kind kind : options.kinds)
                      names.append(fault_info(kind).name);
                  return names.join(QLatin1Char(','));
              }())
              .arg(options.seed));
    print(QStringLiteral("program: %1 (pid %2) in %3, server %4")
              .arg(options.program)
              .arg(program.pid())
              .arg(program.folder(), sim.url().toString()));

    if (options.modbus) {
        Master_setup setup;
        setup.seed = options.seed;
        setup.requests = options.requests;
        setup.pipeline = options.pipeline;
        // A request may wait behind one whose reply the gateway waits out.
        setup.reply_timeout_ms = options.timings.modbus_timeout_ms + options.reply_timeout_ms;
        setup.busy_allowed = options.masters * options.pipeline > modbus_queue_limit;
        for (int i = 0; i < options.modems; ++i) {
            for (int j = 0; j < options.masters; ++j) {
                setup.first_register = j * options.pipeline * registers_per_block;
                clients.push_back(std::make_unique<Modbus_master>(int(clients.size()), ports.at(i), setup, tally));
            }
        }
    } else {
        Client_setup setup;
        setup.seed = options.seed;
        setup.requests = options.requests;
        setup.max_length = options.max_length;
        setup.reply_timeout_ms = options.reply_timeout_ms;
        for (int i = 0; i < options.modems; ++i)
            clients.push_back(std::make_unique<Soak_client>(i, ports.at(i), setup, tally, history));
    }
    for (const auto &client : clients) {
        connect(client.get(), &Soak_peer::served, this, &Soak_run::on_served);
        connect(client.get(), &Soak_peer::finished, this, &Soak_run::on_client_finished);
    }
    clock.start();
    for (const auto &client : clients)
        client->start();
    ticker.start();
    return true;
}

double Soak_run::progress() const
{
    double by_requests = 0;
    if (options.requests > 0)
        by_requests = double(tally.settled()) / (double(options.requests) * double(clients.size()));
    double by_time = 0;
    if (options.seconds > 0 && first_reply_ms >= 0)
        by_time = double(clock.elapsed() - first_reply_ms) / (options.seconds * 1000.0);
    return std::max(by_requests, by_time);
}

void Soak_run::on_tick()
{
    if (done)
        return;
    const qint64 now = clock.elapsed();
    if (now >= options.time_limit * 1000LL) {
        print(QStringLiteral("time limit of %1 s reached").arg(options.time_limit));
        for (const auto &client : clients)
            client->abandon();
        finish();
        return;
    }
    if (rss_start == 0 && std::all_of(clients.begin(), clients.end(), [](const auto &c) { return c->has_passed(); })) {
        rss_start = program.rss_kib();
        fds_start = program.descriptors();
    }
    if (rss_middle == 0 && rss_start != 0 && progress() >= 0.5)
        rss_middle = program.rss_kib();
    if (!stopping && options.seconds > 0 && first_reply_ms >= 0 && now - first_reply_ms >= options.seconds * 1000LL) {
        stopping = true;
        for (const auto &client : clients)
            client->stop_sending();
    }
    if (now - last_progress_line_ms >= progress_line_ms) {
        last_progress_line_ms = now;
        print(QStringLiteral("[%1 s] %2 passed, %3 failed, %4 faults, RSS %5")
                  .arg(now / 1000)
                  .arg(tally.passed)
                  .arg(tally.failed())
                  .arg(faults_done)
                  .arg(megabytes(program.rss_kib())));
    }
    if (active && active->applied && active->since.elapsed() > options.recovery_limit_ms) {
        ++not_recovered;
        tally.note(QStringLiteral("fault %1: not recovered within %2 s")
                       .arg(fault_info(active->kind).name)
                       .arg(options.recovery_limit_ms / 1000));
        active.reset();
    }
    const bool all_ready = std::all_of(clients.begin(), clients.end(), [](const auto &client) {
        return client->connected() && client->requests_left() >= requests_to_recover;
    });
    if (!active && !stopping && rss_start != 0 && faults_done < fault_points.size() &&
        progress() >= fault_points.at(faults_done) && all_ready) {
        inject(options.kinds.at(faults_done % options.kinds.size()));
    }
}

void Soak_run::inject(Fault_kind kind)
{
    ++faults_done;
    ++fault_counts[fault_info(kind).name];
    active = Active_fault{kind, {}, false, {}};
    if (fault_info(kind).whole_link) {
        apply(kind, -1);
        return;
    }
    Soak_peer *client = pick_client();
    if (!client) {
        active.reset();
        return;
    }
    const int index = client->index();
    if (kind == Fault_kind::refused_send) {
        apply(kind, index);
        return;
    }
    // Strike while the client's reply is under way: when the modem has got the downlink, plus a
    // moment of up to 2 ms. A radio fault strikes at once, so that it hits the echo of that downlink.
    const bool radio = kind == Fault_kind::packet_lost || kind == Fault_kind::modem_restarted;
    auto *trigger = new QObject(this);
    auto strike = [this, trigger, kind, index] {
        trigger->deleteLater();
        QTimer::singleShot(int(random.bounded(3)), this, [this, kind, index] {
            if (active && !active->applied)
                apply(kind, index);
        });
    };
    connect(&sim, &Sim_server::downlink, trigger,
            [this, strike, trigger, index, kind, radio](quint64 eui, const QByteArray &bytes) {
                if (eui != euis.at(modem_of(index)))
                    return;
                disconnect(&sim, nullptr, trigger, nullptr);
                if (!radio) {
                    strike();
                    return;
                }
                trigger->deleteLater();
                if (active && !active->applied) {
                    active->downlink_size = bytes.size();
                    apply(kind, index);
                }
            });
    QTimer::singleShot(reply_wait_ms, trigger, strike);
}

Soak_peer *Soak_run::pick_client() const
{
    QVector<Soak_peer *> candidates;
    for (const auto &client : clients) {
        if (client->connected() && client->requests_left() >= requests_to_recover)
            candidates.append(client.get());
    }
    if (candidates.isEmpty())
        return nullptr;
    return candidates.at(int(random.bounded(candidates.size())));
}

void Soak_run::apply(Fault_kind kind, int index)
{
    active->applied = true;
    active->since.start();
    for (const auto &client : clients) {
        if (!client->done() && (index < 0 || modem_of(client->index()) == modem_of(index)))
            active->waiting.insert(client->index());
    }
    switch (kind) {
    case Fault_kind::link_close:
    case Fault_kind::link_abort:
    case Fault_kind::late_reply:
        for (const auto &client : clients)
            client->doom();
        if (kind == Fault_kind::link_close)
            sim.close_connections();
        else if (kind == Fault_kind::link_abort)
            sim.abort_connections();
        else
            sim.faults().send_data = Reply_fault{Reply::normal, options.timings.data_timeout_ms + 1000, 1, {}};
        break;
    case Fault_kind::refused_send: {
        doom_modem(modem_of(index));
        const quint64 eui = euis.at(modem_of(index));
        sim.faults().append_false.insert(eui);
        // One refusal only: the next downlinks of this modem are accepted again.
        const QString refusal = QStringLiteral("\"devEui\":\"%1\",\"status\":false").arg(eui_text(eui));
        auto *watch = new QObject(this);
        connect(&sim, &Sim_server::text_sent, watch, [this, watch, eui, refusal](const QString &text) {
            if (text.contains(refusal)) {
                sim.faults().append_false.remove(eui);
                watch->deleteLater();
            }
        });
        break;
    }
    case Fault_kind::client_killed:
        clients.at(index)->kill(random.bounded(2) == 0);
        break;
    case Fault_kind::client_replaced:
        // Echo clients only: a gateway port takes a second master beside the first.
        static_cast<Soak_client &>(*clients.at(index)).replace();
        break;
    case Fault_kind::packet_lost:
        if (options.modbus) {
            // The reply in flight is a packet or two: its first is always there. The gateway waits
            // it out and answers with a time-out whichever master's request it was.
            sim.lose_packet(euis.at(modem_of(index)), 0);
            doom_modem(modem_of(index));
            break;
        }
        // Any packet of the group: the first, one in the middle or the last.
        sim.lose_packet(euis.at(index), int(random.bounded(echo_packets(index))));
        static_cast<Soak_client &>(*clients.at(index)).give_up_reply(lost_reply_wait_ms);
        break;
    case Fault_kind::modem_restarted: {
        // Counting from 1 collides with a remembered counter only while the modem has sent fewer
        // packets than the program remembers; past that the restart goes unnoticed, and harmlessly.
        // Half the restarts go back to a counter of the last few groups, which the program must
        // notice; going back by less than the reply's group leaves its later packets with counters
        // new to the program, which must still join them with the rest.
        const quint64 eui = euis.at(modem_of(index));
        const quint32 next = sim.next_fcnt(eui);
        quint32 first = 1;
        if (next > 1 && random.bounded(2))
            first = next - 1 - random.bounded(std::min(next - 1, recent_fcnts));
        sim.restart_modem(eui, first);
        ++restarts;
        break;
    }
    }
    if (active && active->waiting.isEmpty())
        recovered();
}

int Soak_run::echo_packets(int index) const
{
    const Sim_modem modem = modem_for(index, euis.at(index));
    const QByteArray downlink(active->downlink_size, '\0');
    return std::max<int>(1, make_uplink_group(downlink, modem.echo.packet_size, modem.echo.packet_type).size());
}

int Soak_run::modem_of(int client) const
{
    return options.modbus ? client / options.masters : client;
}

void Soak_run::doom_modem(int modem)
{
    for (const auto &client : clients) {
        if (modem_of(client->index()) == modem)
            client->doom();
    }
}

void Soak_run::on_served(int client)
{
    if (first_reply_ms < 0)
        first_reply_ms = clock.elapsed();
    if (!active || !active->applied)
        return;
    active->waiting.remove(client);
    if (active->waiting.isEmpty())
        recovered();
}

void Soak_run::recovered()
{
    recovery_ms[fault_info(active->kind).name].append(active->since.elapsed());
    sim.faults().send_data = Reply_fault{};
    active.reset();
}

void Soak_run::on_client_finished(int client)
{
    ++finished_clients;
    if (active && active->applied) {
        active->waiting.remove(client);
        if (active->waiting.isEmpty())
            recovered();
    }
    if (finished_clients == int(clients.size()))
        finish();
}

void Soak_run::on_program_ended(int code)
{
    if (done)
        return;
    program_end = code < 0 ? QStringLiteral("the program crashed") : QStringLiteral("the program ended with code %1").arg(code);
    tally.note(program_end);
    for (const auto &client : clients)
        client->abandon();
    finish();
}

void Soak_run::finish()
{
    if (done)
        return;
    done = true;
    ticker.stop();
    end_ms = clock.elapsed();
    if (active) {
        if (active->applied)
            ++unfinished_faults;
        active.reset();
    }
    if (program.running()) {
        rss_end = program.rss_kib();
        fds_end = program.descriptors();
    }
    if (rss_middle == 0)
        rss_middle = rss_end;
    internal_errors = program.internal_errors();
    restarts_noticed = program.log_count(QStringLiteral("начал отсчёт номеров кадров заново"));
    // Still on the call stack of a client's signal: the clients go with the run, not now.
    for (const auto &client : clients)
        client->halt();
    program.stop();
    sanitizer_reports = program.sanitizer_reports();
    const qint64 failed = failures();
    if (failed > 0 || options.keep) {
        program.keep_folder();
        print(QStringLiteral("the program's files are kept in %1").arg(program.folder()));
    }
    print_report();
    QTimer::singleShot(0, this, [this, failed] { emit finished(failed > 0 ? 1 : 0); });
}

qint64 Soak_run::failures() const
{
    return tally.failed() + not_recovered + internal_errors + sanitizer_reports + sim.bad_commands() + (program_end.isEmpty() ? 0 : 1);
}

void Soak_run::print_report() const
{
    const double seconds = double(end_ms - std::max<qint64>(first_reply_ms, 0)) / 1000.0;
    QVector<qint32> latencies = tally.latencies_us;
    std::sort(latencies.begin(), latencies.end());
    const auto latency_ms = [&latencies](double share) {
        return latencies.isEmpty() ? 0.0 : latencies.at(int(share * (latencies.size() - 1))) / 1000.0;
    };
    print(QStringLiteral("frames: %1 requests sent, %2 replies checked; bytes: %3 sent, %4 received")
              .arg(tally.sent)
              .arg(tally.settled())
              .arg(tally.bytes_sent)
              .arg(tally.bytes_received));
    print(QStringLiteral("rate: %1 frames/s over %2 s; reply time median %3 ms, p99 %4 ms, worst %5 ms")
              .arg(seconds > 0 ? double(tally.passed) / seconds : 0.0, 0, 'f', 0)
              .arg(seconds, 0, 'f', 1)
              .arg(latency_ms(0.5), 0, 'f', 2)
              .arg(latency_ms(0.99), 0, 'f', 2)
              .arg(latency_ms(1.0), 0, 'f', 2));
    QStringList counts;
    for (auto it = fault_counts.begin(); it != fault_counts.end(); ++it)
        counts.append(QStringLiteral("%1 %2").arg(it.key()).arg(it.value()));
    print(QStringLiteral("faults: %1%2").arg(faults_done).arg(counts.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(counts.join(QStringLiteral(", ")))));
    QVector<qint64> all;
    QStringList by_kind;
    for (auto it = recovery_ms.begin(); it != recovery_ms.end(); ++it) {
        all += it.value();
        by_kind.append(QStringLiteral("%1 %2").arg(it.key(), recovery_summary(it.value())));
    }
    print(QStringLiteral("recoveries: %1, %2; not recovered %3, still recovering at the end %4")
              .arg(all.size())
              .arg(recovery_summary(all))
              .arg(not_recovered)
              .arg(unfinished_faults));
    if (!by_kind.isEmpty())
        print(QStringLiteral("  by fault: %1").arg(by_kind.join(QStringLiteral("; "))));
    if (restarts > 0)
        print(QStringLiteral("  modem restarts: %1, noticed by the program %2 times").arg(restarts).arg(restarts_noticed));
    print(QStringLiteral("memory (RSS): start %1, middle %2, end %3; descriptors: start %4, end %5")
              .arg(megabytes(rss_start), megabytes(rss_middle), megabytes(rss_end))
              .arg(fds_start)
              .arg(fds_end));
    print(QStringLiteral("replies: %1 passed, %2 lost to faults, %3 late, %4 lost, %5 corrupted, %6 mixed; "
                         "%7 unexplained closes, %8 clients stuck")
              .arg(tally.passed)
              .arg(tally.lost_to_faults)
              .arg(tally.late)
              .arg(tally.lost)
              .arg(tally.corrupted)
              .arg(tally.mixed)
              .arg(tally.unexplained_closes)
              .arg(tally.stuck_clients));
    if (options.modbus) {
        QStringList codes;
        for (auto it = tally.exceptions.begin(); it != tally.exceptions.end(); ++it)
            codes.append(QStringLiteral("0x%1 %2").arg(it.key(), 2, 16, QLatin1Char('0')).arg(it.value()));
        print(QStringLiteral("modbus: %1 mismatched replies; exceptions %2, of them %3 explained by no fault")
                  .arg(tally.mismatched)
                  .arg(codes.isEmpty() ? QStringLiteral("none") : codes.join(QStringLiteral(", ")))
                  .arg(tally.unexcused_exceptions));
    }
    print(QStringLiteral("simulator: %1 commands off their templates; program log: %2 internal errors; "
                         "sanitizer reports: %3%4")
              .arg(sim.bad_commands())
              .arg(internal_errors)
              .arg(sanitizer_reports)
              .arg(program_end.isEmpty() ? QString() : QStringLiteral("; ") + program_end));
    for (const QString &problem : tally.problems)
        print(QStringLiteral("  ") + problem);
    print(QStringLiteral("%1 passed, %2 failed").arg(tally.passed).arg(failures()));
}
