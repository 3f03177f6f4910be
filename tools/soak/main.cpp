// quvo-soak: drives the real program with many clients and echo modems behind the simulated
// network server (or Modbus TCP masters and slaves behind gateway ports), checks every reply,
// injects faults and reports what it saw.

#include "soak/soak_run.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QTextStream>

#include <optional>

namespace {

int fail(const QString &message)
{
    QTextStream(stderr) << "quvo-soak: " << message << Qt::endl;
    return 2;
}

std::optional<int> number(const QCommandLineParser &parser, const QString &name, int min, int max)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Soak test of quvo_vevi2zar: N clients, each with an echo modem behind the simulated network\n"
        "server, send requests of random length one at a time and check every reply byte for byte and\n"
        "in order, while faults strike at random moments. The last line is \"N passed, M failed\";\n"
        "the exit code is 0 only when nothing failed.\n"
        "With --modbus the modems' ports are Modbus TCP gateways to simulated RTU slaves: several\n"
        "masters per modem, each with requests outstanding on registers of its own, write values\n"
        "unique to the master and the request and read them back; every reply must answer its own\n"
        "request by transaction id and content. Exceptions are counted by code; one that no fault\n"
        "explains, a mismatched reply and a missing one are failures."));
    parser.addHelpOption();
    QList<QCommandLineOption> options = {
        {QStringLiteral("program"), QStringLiteral("The program under test."), QStringLiteral("file"),
         QStringLiteral(QUVO_PROGRAM)},
        {QStringLiteral("modems"), QStringLiteral("Modems, one client each (1..1000)."), QStringLiteral("n"), QStringLiteral("20")},
        {QStringLiteral("requests"), QStringLiteral("Requests per client (0: as many as --seconds allows)."),
         QStringLiteral("m"), QStringLiteral("200")},
        {QStringLiteral("seconds"), QStringLiteral("Stop sending after this long (0: when the requests are done)."),
         QStringLiteral("s"), QStringLiteral("0")},
        {QStringLiteral("time-limit"), QStringLiteral("Hard bound of the whole run; what is unfinished then fails."),
         QStringLiteral("s"), QStringLiteral("600")},
        {QStringLiteral("faults"), QStringLiteral("Faults to inject at random moments."), QStringLiteral("k"), QStringLiteral("0")},
        {QStringLiteral("fault-kinds"), QStringLiteral("Comma-separated: close, abort, late, refuse, kill, replace, lose, restart, or all."),
         QStringLiteral("list"), QStringLiteral("all")},
        {QStringLiteral("max-length"), QStringLiteral("Longest request in bytes (1..3000); lengths are uniform from 1."),
         QStringLiteral("bytes"), QStringLiteral("255")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the payloads and fault moments (default: the clock)."), QStringLiteral("n")},
        {QStringLiteral("reconnect-delay"), QStringLiteral("The program's ws_reconnect_delay."), QStringLiteral("ms"), QStringLiteral("300")},
        {QStringLiteral("data-timeout"), QStringLiteral("The program's ws_data_timeout."), QStringLiteral("ms"), QStringLiteral("3000")},
        {QStringLiteral("reply-timeout"), QStringLiteral("How long a client waits for a reply."), QStringLiteral("ms"), QStringLiteral("20000")},
        {QStringLiteral("keep"), QStringLiteral("Keep the program's folder (configuration, log) even when all passed.")},
        {QStringLiteral("modbus"), QStringLiteral("Modbus TCP masters on gateway ports instead of echo clients; the replace fault is left out.")},
        {QStringLiteral("masters"), QStringLiteral("With --modbus: masters per modem (1..8)."), QStringLiteral("n"), QStringLiteral("3")},
        {QStringLiteral("pipeline"), QStringLiteral("With --modbus: requests each master keeps outstanding (1..16)."),
         QStringLiteral("n"), QStringLiteral("4")},
        {QStringLiteral("modbus-timeout"), QStringLiteral("With --modbus: the program's modbus_timeout; a master waits for a reply that long plus --reply-timeout."),
         QStringLiteral("ms"), QStringLiteral("2000")},
    };
    for (QCommandLineOption &option : options) {
        if (!option.defaultValues().isEmpty())
            option.setDescription(option.description() + QStringLiteral(" Default: %1.").arg(option.defaultValues().join(QLatin1Char(','))));
    }
    parser.addOptions(options);
    parser.process(app);

    Soak_options soak;
    soak.program = parser.value(QStringLiteral("program"));
    const auto modems = number(parser, QStringLiteral("modems"), 1, 1000);
    const auto requests = number(parser, QStringLiteral("requests"), 0, 100000000);
    const auto seconds = number(parser, QStringLiteral("seconds"), 0, 86400);
    const auto time_limit = number(parser, QStringLiteral("time-limit"), 1, 86400 * 7);
    const auto faults = number(parser, QStringLiteral("faults"), 0, 100000);
    const auto max_length = number(parser, QStringLiteral("max-length"), 1, 3000);
    const auto reconnect = number(parser, QStringLiteral("reconnect-delay"), 0, 60000);
    const auto data_timeout = number(parser, QStringLiteral("data-timeout"), 1, 60000);
    const auto reply_timeout = number(parser, QStringLiteral("reply-timeout"), 100, 600000);
    const auto masters = number(parser, QStringLiteral("masters"), 1, 8);
    const auto pipeline = number(parser, QStringLiteral("pipeline"), 1, 16);
    const auto modbus_timeout = number(parser, QStringLiteral("modbus-timeout"), 1, 600000);
    if (!modems || !requests || !seconds || !time_limit || !faults || !max_length || !reconnect || !data_timeout ||
        !reply_timeout || !masters || !pipeline || !modbus_timeout)
        return fail(QStringLiteral("a number is out of its range (see --help)"));
    if (*requests == 0 && *seconds == 0)
        return fail(QStringLiteral("--requests 0 needs --seconds"));
    soak.modems = *modems;
    soak.requests = *requests == 0 ? -1 : *requests;
    soak.seconds = *seconds;
    soak.time_limit = *time_limit;
    soak.faults = *faults;
    soak.max_length = *max_length;
    soak.timings.reconnect_delay_ms = *reconnect;
    soak.timings.data_timeout_ms = *data_timeout;
    soak.reply_timeout_ms = *reply_timeout;
    soak.keep = parser.isSet(QStringLiteral("keep"));
    soak.modbus = parser.isSet(QStringLiteral("modbus"));
    soak.masters = *masters;
    soak.pipeline = *pipeline;
    soak.timings.modbus_timeout_ms = *modbus_timeout;
    bool seed_ok = true;
    soak.seed = parser.isSet(QStringLiteral("seed")) ? parser.value(QStringLiteral("seed")).toUInt(&seed_ok)
                                                     : quint32(QDateTime::currentMSecsSinceEpoch());
    if (!seed_ok)
        return fail(QStringLiteral("--seed must be a number"));
    QString error;
    const auto kinds = parse_fault_kinds(parser.value(QStringLiteral("fault-kinds")), &error);
    if (!kinds)
        return fail(error);
    soak.kinds = *kinds;
    // A gateway port serves a second master beside the first: there is no one to replace.
    if (soak.modbus)
        soak.kinds.removeAll(Fault_kind::client_replaced);
    if (soak.kinds.isEmpty())
        return fail(QStringLiteral("no fault kind is left for --modbus"));

    Soak_run run(soak);
    QObject::connect(&run, &Soak_run::finished, &app, &QCoreApplication::exit);
    if (!run.start(&error))
        return fail(error);
    return app.exec();
}
