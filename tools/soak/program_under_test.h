#pragma once

// The real program, run as a separate process the way a user runs it: its own configuration and
// devices file in a temporary folder, the offscreen display, and its memory read from /proc.

#include <QObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <QVector>

struct Served_modem {
    quint64 eui = 0;
    quint16 tcp_port = 0;
    int max_frame = 0;
    bool modbus = false;  // the port is a Modbus TCP gateway
};

struct Program_timings {
    int reconnect_delay_ms = 300;
    int data_timeout_ms = 3000;
    int devlist_period_ms = 10000;
    int interframe_delay_ms = 15;
    int modbus_timeout_ms = 10000;
};

// Ports that nothing listens on now, below the range the system hands out for outgoing
// connections, so that no client's own port can take one of them before the program listens.
QVector<quint16> pick_free_ports(int count, QString *error);

class Program_under_test : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY(Program_under_test)

public:
    explicit Program_under_test(const QString &program, QObject *parent = nullptr);
    ~Program_under_test() override;

    bool start(const QUrl &server, const QVector<Served_modem> &modems, const Program_timings &timings,
               QString *error);
    void stop();
    bool running() const;
    qint64 pid() const;
    QString folder() const;
    void keep_folder();

    qint64 rss_kib() const;  // 0 when it cannot be read
    int descriptors() const;  // -1 when they cannot be counted
    int internal_errors() const;  // "unexpected error" entries in the program's log
    int log_count(const QString &text) const;  // entries of the program's log that hold `text`
    int sanitizer_reports() const;  // in the program's output, when it is a sanitizer build

signals:
    void ended(int exit_code, QProcess::ExitStatus status);

private:
    QString program;
    QTemporaryDir dir;
    QProcess process;
    bool stopping = false;
};
