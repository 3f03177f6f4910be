// lora-netserver-sim: the simulated LoRa network server as a program, for the demo and trials.

#include "lora_sim/sim_console.h"
#include "lora_sim/sim_server.h"
#include "lora_sim/tls_files.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTime>

#include <unistd.h>

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void print(const QString &line)
{
    out() << line << Qt::endl;
}

void trace(const QString &direction, const QString &text)
{
    print(QStringLiteral("%1 %2 %3").arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")), direction, text));
}

int fail(const QString &message)
{
    QTextStream(stderr) << "lora-netserver-sim: " << message << Qt::endl;
    return 2;
}

const char *description =
    "Simulated LoRa network server: listens on 127.0.0.1 and speaks the JSON text protocol over WebSocket\n"
    "(auth_req, get_device_appdata_req, send_data_req, \"rx\" messages) on behalf of simulated radio modems.\n"
    "The first line on standard output is \"listening ws://127.0.0.1:PORT\" (or wss://).\n"
    "\n"
    "Modem: EUI:name:behaviour[,option...]\n"
    "  EUI        16 hexadecimal digits; an empty name leaves \"devName\" out of the device list\n"
    "  behaviour  echo (sends the downlink bytes after 0x04 back as an uplink packet group)\n"
    "             or silent (listed, accepts downlinks, never answers)\n"
    "             or modbus (takes the downlink bytes after 0x04 as an RTU frame to a slave with\n"
    "             holding registers, functions 3, 6 and 16, and sends its reply back as the echo does;\n"
    "             a bad CRC or another unit is ignored, a broadcast to unit 0 executed unanswered)\n"
    "  options    size=N (payload bytes per packet, 1..255, default 40), type=03|13 (packet type),\n"
    "             shuffle (packets in scrambled order), dup (each packet twice with the same fcnt),\n"
    "             repeat (each packet followed by a copy of type UNCONF_UP_REPEAT), early (the uplink\n"
    "             starts when the downlink arrives, before its reply), delay=MS,\n"
    "             port=N (LoRa port of the uplink, default 2), fcnt=N (first fcnt, default 1),\n"
    "             lose=N (packet N of the first group is lost on the radio), restart=G (the modem\n"
    "             restarts after every G groups and counts fcnt from the first value again)\n"
    "  modbus     unit=N (1..247, default 1), registers=N (holding registers, default 100),\n"
    "             badcrc (every reply is preceded by a copy with a corrupted CRC, in a packet group\n"
    "             of its own), mute (executes requests, never answers)\n"
    "  e.g. --modem 0011223344556677:Meter 1:echo,size=20,shuffle\n"
    "       --modem 0011223344556678:PLC:modbus,unit=5,registers=20,badcrc\n"
    "\n"
    "Reply fault: MODE[:DELAY_MS[:TIMES]], MODE one of normal, none, reject (\"status\":false),\n"
    "incomplete (main field left out), malformed (not JSON), binary (binary frame), close (close the\n"
    "connection instead of answering); TIMES limits the fault to that many commands (default: all).\n"
    "  e.g. --send-data normal:500 delays every send_data_resp by half a second\n"
    "\n"
    "While it runs, it takes commands on standard input, one per line (\"help\" lists them): add and\n"
    "remove modems, send \"rx\" messages, raw texts and binary frames, close connections, switch faults,\n"
    "lose a packet of a modem's next group (lose), restart a modem's counter (restart).";

// Reads the console commands from standard input as they come, without blocking the event loop.
void watch_console(Sim_server &sim, QObject *owner)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [&sim, notifier, pending = QByteArray()]() mutable {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            notifier->setEnabled(false);
            return;
        }
        pending.append(buffer, int(got));
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            if (!line.trimmed().isEmpty())
                print(execute_console_command(sim, line));
        }
    });
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lora-netserver-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    parser.addHelpOption();
    const QCommandLineOption port_option({"p", "port"}, "Port on 127.0.0.1 (default 0: the system chooses).", "port", "0");
    const QCommandLineOption modem_option({"m", "modem"}, "A simulated modem (repeatable), see above.", "modem");
    const QCommandLineOption modems_file_option("modems-file", "File with one modem per line ('#' starts a comment).", "file");
    const QCommandLineOption login_option("login", "Accepted login (default: any login and password).", "login");
    const QCommandLineOption password_option("password", "Accepted password.", "password");
    const QCommandLineOption cert_option("cert", "PEM certificate: serve wss:// instead of ws://.", "file");
    const QCommandLineOption key_option("key", "PEM private key of the certificate.", "file");
    const QCommandLineOption auth_option("auth", "Fault for auth_req replies.", "fault");
    const QCommandLineOption devlist_option("devlist", "Fault for get_device_appdata_req replies.", "fault");
    const QCommandLineOption send_data_option("send-data", "Fault for send_data_req replies.", "fault");
    const QCommandLineOption err_string_option("err-string", "\"err_string\" of rejections (empty: none).", "text");
    const QCommandLineOption append_false_option("append-false", "Answer downlinks to this EUI with \"append_status\" false (repeatable).", "eui");
    const QCommandLineOption close_after_option("close-after", "Close each connection on its N-th received message.", "n");
    const QCommandLineOption lowercase_option("lowercase-eui", "Write EUIs in lowercase.");
    const QCommandLineOption verbose_option({"v", "verbose"}, "Print every message received (<-) and sent (->), and connection events.");
    parser.addOptions({port_option, modem_option, modems_file_option, login_option, password_option, cert_option,
                       key_option, auth_option, devlist_option, send_data_option, err_string_option,
                       append_false_option, close_after_option, lowercase_option, verbose_option});
    parser.process(app);

    Sim_server sim;
    QString error;
    if (parser.isSet(modems_file_option)) {
        const auto modems = read_modems_file(parser.value(modems_file_option), &error);
        if (!modems)
            return fail(error);
        for (const Sim_modem &modem : *modems)
            sim.add_modem(modem);
    }
    for (const QString &text : parser.values(modem_option)) {
        const auto modem = parse_modem(text, &error);
        if (!modem)
            return fail(error);
        sim.add_modem(*modem);
    }
    if (parser.isSet(login_option))
        sim.set_credentials(parser.value(login_option), parser.value(password_option));

    Sim_faults &faults = sim.faults();
    const std::pair<const QCommandLineOption *, Reply_fault *> reply_options[] = {
        {&auth_option, &faults.auth}, {&devlist_option, &faults.devlist}, {&send_data_option, &faults.send_data}};
    for (const auto &[option, fault] : reply_options) {
        if (!parser.isSet(*option))
            continue;
        const auto parsed = parse_reply_fault(parser.value(*option));
        if (!parsed)
            return fail(QStringLiteral("bad fault \"%1\" for --%2").arg(parser.value(*option), option->names().constLast()));
        *fault = *parsed;
    }
    if (parser.isSet(err_string_option))
        faults.err_string = parser.value(err_string_option);
    for (const QString &eui : parser.values(append_false_option)) {
        bool ok = false;
        faults.append_false.insert(eui.toULongLong(&ok, 16));
        if (!ok || eui.size() != 16)
            return fail(QStringLiteral("bad EUI \"%1\" for --append-false").arg(eui));
    }
    bool ok = true;
    if (parser.isSet(close_after_option))
        faults.close_after = parser.value(close_after_option).toInt(&ok);
    if (!ok || faults.close_after < 0)
        return fail(QStringLiteral("bad count for --close-after"));
    faults.lowercase_eui = parser.isSet(lowercase_option);
    const quint16 port = quint16(parser.value(port_option).toUInt(&ok));
    if (!ok)
        return fail(QStringLiteral("bad port"));

    bool listening = false;
    if (parser.isSet(cert_option) || parser.isSet(key_option)) {
        const auto tls = load_tls_configuration(parser.value(cert_option), parser.value(key_option), &error);
        if (!tls)
            return fail(error);
        listening = sim.listen_secure(*tls, port);
    } else {
        listening = sim.listen(port);
    }
    if (!listening)
        return fail(QStringLiteral("cannot listen: %1").arg(sim.error_string()));
    print(QStringLiteral("listening %1").arg(sim.url().toString()));

    if (parser.isSet(verbose_option)) {
        QObject::connect(&sim, &Sim_server::text_received, [](const QString &text) { trace("<-", text); });
        QObject::connect(&sim, &Sim_server::text_sent, [](const QString &text) { trace("->", text); });
        QObject::connect(&sim, &Sim_server::binary_sent, [](const QByteArray &bytes) {
            trace("->", QStringLiteral("binary frame %1").arg(QString::fromLatin1(bytes.toHex(' '))));
        });
        QObject::connect(&sim, &Sim_server::connection_accepted, [] { trace("++", "connection accepted"); });
        QObject::connect(&sim, &Sim_server::connection_closed, [](int code) {
            trace("--", QStringLiteral("connection closed (%1)").arg(code));
        });
    }
    QObject::connect(&sim, &Sim_server::bad_command, [](const QString &text, const QString &reason) {
        trace("!!", QStringLiteral("bad command (%1): %2").arg(reason, text));
    });
    watch_console(sim, &app);
    return app.exec();
}
