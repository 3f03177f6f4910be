#include "lora_sim/sim_server.h"
#include "support/test_support.h"

#include <QtTest>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>
#include <vector>

#include <sys/resource.h>

namespace {

constexpr int modems = 1100;
constexpr quint64 first_eui = 0x0011223300000000ULL;
constexpr int program_timeout_ms = 60000;

// Ports below the range the system hands out for connections, so that no other test's
// connection takes one of them before the program listens there.
std::vector<quint16> ports_below_ephemeral(int n)
{
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    int low = 32768;
    if (range.open(QIODevice::ReadOnly))
        low = range.readAll().split('\t').value(0).trimmed().toInt();
    std::vector<std::unique_ptr<QTcpServer>> probes;
    std::vector<quint16> ports;
    for (int port = low - 1; port > 1024 && int(ports.size()) < n; --port) {
        auto probe = std::make_unique<QTcpServer>();
        if (!probe->listen(QHostAddress::Any, quint16(port)))
            continue;
        ports.push_back(quint16(port));
        probes.push_back(std::move(probe));
    }
    return ports;
}

}

// 1,100 served modems against the default soft limit of 1,024 descriptors: the program raises
// it and serves them all; where the hard limit is 1,024 too, it says so in one line and
// serves what fits, clients included, and its log goes on.
class Tst_descriptors : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void raised_limit_serves_all();
    void short_limit_told_once();

private:
    void start(const QByteArray &limits);
    QString log() const;
    // A client's bytes come back through the echo modem behind this port.
    bool echoes(quint16 port);

    std::vector<quint16> ports;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Sim_server> sim;
    std::unique_ptr<QProcess> program;
};

void Tst_descriptors::initTestCase()
{
    if (!QUVO_LINUX_PARTS)
        QSKIP("built without the Linux-only parts: the program neither raises its limit nor counts its descriptors");
    rlimit limit{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 4 * modems)
        QSKIP("the hard limit of descriptors here is too low for 1,100 modems");
    ports = ports_below_ephemeral(modems);
    QCOMPARE(int(ports.size()), modems);
}

void Tst_descriptors::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    sim = std::make_unique<Sim_server>();
    QVERIFY2(sim->listen(), qPrintable(sim->error_string()));
    QByteArray devices;
    for (int i = 0; i < modems; ++i) {
        Sim_modem modem;
        modem.eui = first_eui + quint64(i);
        sim->add_modem(modem);
        const QString eui = QStringLiteral("%1").arg(modem.eui, 16, 16, QLatin1Char('0')).toUpper();
        devices += QStringLiteral("device(eui=%1, tcp_port=%2)\n").arg(eui).arg(ports[i]).toUtf8();
    }
    QFile file(dir->filePath(QStringLiteral("devices.cfg")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(devices);
    file.close();
    QFile config(dir->filePath(QStringLiteral("quvo_vevi2zar.cfg")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("ws_url = \"" + sim->url().toString().toUtf8() +
                 "\"\nws_login = \"l\"\nws_password = \"p\"\ntrace_tcp = all\n");
}

void Tst_descriptors::cleanup()
{
    end_program(program.get());
    program.reset();
    sim.reset();
    dir.reset();
}

// The limits for the program alone, set by the shell that starts it.
void Tst_descriptors::start(const QByteArray &limits)
{
    program = start_program(dir->path(), QStringList(), QStringList(), QString::fromLatin1(limits));
    QVERIFY(program);
}

QString Tst_descriptors::log() const
{
    QFile file(dir->filePath(QStringLiteral("quvo_vevi2zar.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool Tst_descriptors::echoes(quint16 port)
{
    // The simulator runs in this thread: every wait must let its events through.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }, 2000))
        return false;
    client.write("ping");
    return QTest::qWaitFor([&] { return client.bytesAvailable() >= 4; }, 2000) && client.readAll() == "ping";
}

void Tst_descriptors::raised_limit_serves_all()
{
    start("ulimit -S -n 1024");
    QTRY_VERIFY_WITH_TIMEOUT(echoes(ports.back()), program_timeout_ms);
    QVERIFY(echoes(ports.front()));
    const QString text = log();
    QVERIFY(!text.contains(QStringLiteral("Не хватает дескрипторов")));
    QVERIFY(!text.contains(QStringLiteral("Не удалось создать серверный сокет")));
    QVERIFY(text.contains(QStringLiteral("tcp%1(peer=").arg(ports.back())));
}

void Tst_descriptors::short_limit_told_once()
{
    start("ulimit -n 1024");
    const QRegularExpression told(QStringLiteral(
        "Не хватает дескрипторов файлов \\(ограничение процесса: 1024\\)\\. Обслуживаемых радиомодемов без порта "
        "TCP: (\\d+), новые клиенты могут не подключиться\\."));
    QTRY_VERIFY_WITH_TIMEOUT(told.match(log()).hasMatch(), program_timeout_ms);
    const int without_port = told.match(log()).captured(1).toInt();
    QVERIFY2(without_port > 0 && without_port < modems / 2, qPrintable(QString::number(without_port)));
    // The modems first in order got their ports, with room for their clients.
    QTRY_VERIFY_WITH_TIMEOUT(echoes(ports.front()), program_timeout_ms);
    QVERIFY(echoes(ports.at(modems - without_port - 1)));
    const QString text = log();
    QCOMPARE(text.count(told), 1);
    QVERIFY(!text.contains(QStringLiteral("Не удалось создать серверный сокет")));
    QVERIFY(text.contains(QStringLiteral("tcp%1(peer=").arg(ports.front())));
    QVERIFY(!program->readAllStandardOutput().contains("Error in logging."));
}

QTEST_MAIN(Tst_descriptors)
#include "tst_descriptors.moc"
