#include "base/command_line.h"
#include "base/version.h"
#include "lora_sim/sim_server.h"
#include "support/test_support.h"

#include <QtTest>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int program_timeout_ms = 30000;
constexpr quint64 eui = 0x0011223344556677;

// The service manager's end of the notification socket, as systemd binds it.
class Notify_socket {
public:
    explicit Notify_socket(const QString &path)
        : path(path)
    {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        qstrncpy(address.sun_path, name.constData(), sizeof address.sun_path);
        bound = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    ~Notify_socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Notify_socket(const Notify_socket &) = delete;
    Notify_socket &operator=(const Notify_socket &) = delete;

    bool is_bound() const { return bound; }

    // Every message that has come, in order.
    const QList<QByteArray> &messages()
    {
        char buffer[4096];
        ssize_t size;
        while ((size = ::recv(fd, buffer, sizeof buffer, 0)) >= 0)
            received.append(QByteArray(buffer, int(size)));
        return received;
    }

    int count(const QByteArray &message) { return int(messages().count(message)); }

    const QString path;

private:
    int fd = -1;
    bool bound = false;
    QList<QByteArray> received;
};

// Whether a thread of the process named Engine (the exchange thread) waits in openat(2).
bool exchange_thread_in_open(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        QFile call(tasks.filePath(task + QStringLiteral("/syscall")));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "Engine" || !call.open(QIODevice::ReadOnly))
            continue;
        return call.readAll().startsWith(QByteArray::number(SYS_openat) + ' ');
    }
    return false;
}

}

// The program as a service without a display: what would wait in a message box that nobody
// sees is written out and the process ends with its code; the password stays out of the log;
// a service manager hears the state, and its watchdog whether the exchange thread lives.
class Tst_service : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void start_up_error_written_data();
    void start_up_error_written();
    void help_written();
    void password_not_logged();
    void manager_hears_state();
    void watchdog_stops_with_exchange_thread();

private:
    void write(const QString &name, const QByteArray &bytes);
    // A configuration for the simulator, the devices file with its modem, and settings more.
    void write_files(const QByteArray &more = QByteArray());
    void start(const QStringList &arguments, const QStringList &environment = QStringList());
    QString log() const;

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Sim_server> sim;
    std::unique_ptr<QProcess> program;
    quint16 modem_port = 0;
};

void Tst_service::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    sim = std::make_unique<Sim_server>();
    QVERIFY2(sim->listen(), qPrintable(sim->error_string()));
    Sim_modem modem;
    modem.eui = eui;
    sim->add_modem(modem);
    modem_port = free_port();
}

void Tst_service::cleanup()
{
    end_program(program.get());
    program.reset();
    sim.reset();
    dir.reset();
}

void Tst_service::write(const QString &name, const QByteArray &bytes)
{
    QFile file(dir->filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

void Tst_service::write_files(const QByteArray &more)
{
    write(QStringLiteral("quvo_vevi2zar.cfg"), "ws_url = \"" + sim->url().toString().toUtf8() +
                                                   "\"\nws_login = \"operator\"\nws_password = \"p\"\n" + more);
    write(QStringLiteral("devices.cfg"),
          "device(eui=0011223344556677, tcp_port=" + QByteArray::number(modem_port) + ")\n");
}

void Tst_service::start(const QStringList &arguments, const QStringList &environment)
{
    program = start_program(dir->path(), arguments, environment);
    QVERIFY(program);
}

QString Tst_service::log() const
{
    QFile file(dir->filePath(QStringLiteral("quvo_vevi2zar.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void Tst_service::start_up_error_written_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("logged");
    QTest::newRow("unknown key") << QStringList() << 3
                                 << QStringLiteral("Ошибка в 1-м символе 4-й строки файла «quvo_vevi2zar.cfg»: "
                                                   "неизвестный параметр.")
                                 << true;
    QTest::newRow("command line") << QStringList{QStringLiteral("--bogus")} << 1
                                  << QStringLiteral("Неизвестная опция командной строки: «--bogus».") << false;
}

// The box would wait for ever: its title and message go to standard error instead, and the
// process ends with its code. The log gets what it always gets.
void Tst_service::start_up_error_written()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(bool, logged);
    write_files("colour = red\n");
    start(arguments);
    QVERIFY(program->waitForFinished(program_timeout_ms));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), code);
    const QString error = QString::fromUtf8(program->readAllStandardError());
    // The toolkit may have warned before.
    QVERIFY2(error.contains(QStringLiteral("quvo_vevi2zar 1.10.0: ошибка\n") + message), qPrintable(error));
    QVERIFY(error.endsWith(QLatin1Char('\n')));
    QCOMPARE(program->readAllStandardOutput(), QByteArray());
    const QStringList entries = log().split(QStringLiteral("\n\n"), Qt::SkipEmptyParts);
    if (!logged) {
        QCOMPARE(entries, QStringList());
        return;
    }
    QCOMPARE(entries.size(), 2);
    QVERIFY(entries.at(0).endsWith(QStringLiteral("] ") + startup_line()));
    QVERIFY(entries.at(1).contains(QStringLiteral("] ") + message));
}

void Tst_service::help_written()
{
    start({QStringLiteral("--help")});
    QVERIFY(program->waitForFinished(program_timeout_ms));
    QCOMPARE(program->exitCode(), 0);
    QCOMPARE(QString::fromUtf8(program->readAllStandardOutput()),
             QStringLiteral("quvo_vevi2zar --help\n") + help_text());
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("quvo_vevi2zar.log"))));
}

// A password with quotation marks, a backslash and Cyrillic letters logs in as typed and
// is traced only as a mask.
void Tst_service::password_not_logged()
{
    sim->set_credentials(QStringLiteral("operator"), QStringLiteral("pa\"ss\\пароль"));
    write(QStringLiteral("quvo_vevi2zar.cfg"),
          "ws_url = \"" + sim->url().toString().toUtf8() +
              "\"\nws_login = \"operator\"\nws_password = \"pa\\\"ss\\\\пароль\"\ntrace_ws = all\n");
    write(QStringLiteral("devices.cfg"), QByteArray());
    start({});
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("get_device_appdata_resp")), program_timeout_ms);
    const QString text = log();
    QVERIFY(!text.contains(QStringLiteral("пароль")));
    QVERIFY(text.contains(
        QStringLiteral("to(QUVO-LoRa): «{\"cmd\":\"auth_req\",\"login\":\"operator\",\"password\":\"***\"}»")));
}

// Ready once running, the window's line after the link came up, stopping at SIGTERM.
void Tst_service::manager_hears_state()
{
    if (!QUVO_LINUX_PARTS)
        QSKIP("built without the Linux-only parts: no service manager is told anything");
    Notify_socket manager(dir->filePath(QStringLiteral("notify")));
    QVERIFY(manager.is_bound());
    write_files();
    start({}, {QStringLiteral("NOTIFY_SOCKET=") + manager.path});
    QTRY_VERIFY_WITH_TIMEOUT(!manager.messages().isEmpty(), program_timeout_ms);
    QVERIFY(manager.messages().at(0).startsWith("READY=1\nSTATUS=Соединение с сервером QUVO-LoRa: "));
    const QByteArray up = QStringLiteral("STATUS=Соединение с сервером QUVO-LoRa: есть. Радиомодемов, подлежащих "
                                         "обслуживанию: 1, из них доступных для связи: 1, из них используемых "
                                         "клиентами: 0.")
                              .toUtf8();
    QTRY_COMPARE_WITH_TIMEOUT(manager.count(up), 1, program_timeout_ms);
    QCOMPARE(manager.count("STOPPING=1"), 0);
    QCOMPARE(::kill(pid_t(program->processId()), SIGTERM), 0);
    QVERIFY(program->waitForFinished(program_timeout_ms));
    QCOMPARE(program->exitCode(), 0);
    QCOMPARE(manager.count("STOPPING=1"), 1);
}

// The exchange thread hangs (here in opening a log that has become a pipe nobody reads): the
// main thread goes on, but the watchdog hears from it at most for one period more.
void Tst_service::watchdog_stops_with_exchange_thread()
{
    if (!QUVO_LINUX_PARTS)
        QSKIP("built without the Linux-only parts: no service manager is told anything");
    constexpr int period_ms = 300;
    Notify_socket manager(dir->filePath(QStringLiteral("notify")));
    QVERIFY(manager.is_bound());
    write_files("trace_ws = all\nws_devlist_period = 50\n");
    start({}, {QStringLiteral("NOTIFY_SOCKET=") + manager.path,
               QStringLiteral("WATCHDOG_USEC=%1").arg(period_ms * 1000)});
    QTRY_VERIFY_WITH_TIMEOUT(manager.count("WATCHDOG=1") >= 2, program_timeout_ms);

    // In its place at once, whatever the program writes meanwhile.
    const QByteArray fifo = QFile::encodeName(dir->filePath(QStringLiteral("fifo")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    QCOMPARE(::rename(fifo.constData(), QFile::encodeName(dir->filePath(QStringLiteral("quvo_vevi2zar.log")))), 0);
    QTRY_VERIFY_WITH_TIMEOUT(exchange_thread_in_open(program->processId()), program_timeout_ms);
    const int before = manager.count("WATCHDOG=1");
    // Two ticks a period: an answer just before the hang covers at most two more, and the
    // tick that checked it may send a moment late.
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10 * period_ms)
        QTest::qWait(period_ms);
    QVERIFY(exchange_thread_in_open(program->processId()));
    QVERIFY2(manager.count("WATCHDOG=1") - before <= 3,
             qPrintable(QStringLiteral("%1 more").arg(manager.count("WATCHDOG=1") - before)));
    QCOMPARE(program->state(), QProcess::Running);
}

QTEST_MAIN(Tst_service)
#include "tst_service.moc"
