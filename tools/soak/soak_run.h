#pragma once

// One soak run: the simulated network server with an echo modem per client (or a modbus modem
// per few Modbus TCP masters), the program under test between them, the clients, the faults at
// random moments, and the report at the end.

#include "lora_sim/sim_server.h"
#include "soak/fault_kinds.h"
#include "soak/modbus_master.h"
#include "soak/payload.h"
#include "soak/program_under_test.h"
#include "soak/soak_client.h"
#include "soak/soak_tally.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

struct Soak_options {
    QString program;
    int modems = 20;
    int requests = 200;     // per client; -1 with `seconds`: as many as fit
    int seconds = 0;        // 0: no planned end but the requests
    int time_limit = 600;   // hard bound of the whole run, seconds
    int faults = 0;
    QVector<Fault_kind> kinds;
    quint32 seed = 1;
    int max_length = 255;
    Program_timings timings;
    int reply_timeout_ms = 20000;
    int recovery_limit_ms = 30000;
    bool keep = false;
    bool modbus = false;   // gateway ports with Modbus TCP masters instead of echo clients
    int masters = 3;       // per modem
    int pipeline = 4;      // requests outstanding per master
};

// The gateway's queue of a modem holds this many requests; past it a master is told "busy".
constexpr int modbus_queue_limit = 16;

class Soak_run : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Soak_run)

public:
    explicit Soak_run(const Soak_options &options, QObject *parent = nullptr);
    ~Soak_run() override;

    bool start(QString *error);

signals:
    void finished(int exit_code);

private:
    struct Active_fault {
        Fault_kind kind;
        QElapsedTimer since;  // from the moment the fault was applied
        bool applied = false;
        QSet<int> waiting;    // clients not yet served again on a connection of their own
        int downlink_size = 0;  // of the downlink whose echo a radio fault hits
    };

    void on_tick();
    void on_served(int client);
    void on_client_finished(int client);
    void on_program_ended(int code);
    void inject(Fault_kind kind);
    void apply(Fault_kind kind, int client);
    void recovered();
    int echo_packets(int index) const;  // in the group that echoes the downlink a radio fault hits
    int modem_of(int client) const;
    void doom_modem(int modem);       // every client of that modem
    Soak_peer *pick_client() const;
    double progress() const;
    void finish();
    qint64 failures() const;
    void print_report() const;

    const Soak_options options;
    Sim_server sim;
    Program_under_test program;
    mutable QRandomGenerator random;  // fault moments, targets and ways: a seed repeats them
    Soak_tally tally;
    Payload_history history;
    std::vector<std::unique_ptr<Soak_peer>> clients;
    QVector<quint64> euis;

    QVector<double> fault_points;  // progress at which each fault is due, ascending
    int faults_done = 0;
    std::optional<Active_fault> active;
    QMap<QString, int> fault_counts;
    QMap<QString, QVector<qint64>> recovery_ms;  // by fault name
    int not_recovered = 0;
    int unfinished_faults = 0;
    QString program_end;  // why the program ended early; empty while it runs

    QElapsedTimer clock;
    qint64 first_reply_ms = -1;
    qint64 end_ms = 0;
    QTimer ticker;
    qint64 last_progress_line_ms = 0;
    int finished_clients = 0;
    bool stopping = false;
    bool done = false;
    qint64 rss_start = 0, rss_middle = 0, rss_end = 0;
    int fds_start = -1, fds_end = -1;
    int internal_errors = 0;
    int restarts = 0;
    int restarts_noticed = 0;  // restarts the program logged, whether ours or seen in counters
    int sanitizer_reports = 0;
};
