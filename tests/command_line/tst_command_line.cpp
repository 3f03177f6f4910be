#include "app/program.h"
#include "app/program_arguments.h"
#include "base/command_line.h"
#include "base/err.h"
#include "base/log.h"
#include "base/version.h"
#include "support/modal_answer.h"
#include "support/test_support.h"
#include "ui/error_box.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <new>

namespace {

const QString unknown_option =
    QStringLiteral("Неизвестная опция командной строки: «%1». Для получения справки по опциям командной строки "
                   "запустите программу с опцией «-h».");
const QString lone_option = QStringLiteral(
    "Если в командной строке определена опция «%1», в ней не должно быть никаких других опций или параметров.");
const QString cfg_format =
    QStringLiteral("Неправильный формат опции «--cfg». Ожидаемый формат: --cfg=\"имя файла конфигурации\".");
const QString log_format =
    QStringLiteral("Неправильный формат опции «--log». Ожидаемый формат: --log=\"имя файла журнала\".");
const QString cfg_twice = QStringLiteral("В командной строке дважды указана одна и та же опция: «--cfg».");
const QString log_twice = QStringLiteral("В командной строке дважды указана одна и та же опция: «--log».");

QByteArray read_file(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class Tst_command_line : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void accepted_data();
    void accepted();
    void help_words_data();
    void help_words();
    void version_and_help_texts();
    void help_box_ends_with_zero_and_leaves_log_alone();

    void rejected_data();
    void rejected();
    void error_box_looks_as_designed();
    void rejected_command_line_shows_box_and_returns_one();
    void report_exception_of_err_logs_nothing_more();
    void report_exception_of_std_exception_logs_once();
    void report_unexpected_logs_and_shows();
    void unwritable_log_ends_program_with_two();
    void arguments_taken_as_typed();

private:
    QTemporaryDir dir;
    QString log_name;
};

void Tst_command_line::init()
{
    log_name = fresh_log_in(dir);
    QVERIFY(!log_name.isEmpty());
    reset_config_file_name();
}

void Tst_command_line::cleanup()
{
    reset_log_file_name();
    reset_config_file_name();
}

void Tst_command_line::accepted_data()
{
    QTest::addColumn<QList<QByteArray>>("arguments");
    QTest::addColumn<QByteArray>("config_file");
    QTest::addColumn<QByteArray>("log_file");

    QTest::newRow("nothing") << QList<QByteArray>() << QByteArray("quvo_vevi2zar.cfg")
                             << QByteArray("quvo_vevi2zar.log");
    QTest::newRow("both") << QList<QByteArray>{"--log=b.log", "--cfg=a.cfg"} << QByteArray("a.cfg")
                          << QByteArray("b.log");
    QTest::newRow("bytes kept") << QList<QByteArray>{"--cfg=каталог/файл 1.cfg"}
                                << QByteArray("каталог/файл 1.cfg") << QByteArray("quvo_vevi2zar.log");
    QTest::newRow("one character") << QList<QByteArray>{"--log=x"} << QByteArray("quvo_vevi2zar.cfg")
                                   << QByteArray("x");
    QTest::newRow("equals sign in name") << QList<QByteArray>{"--cfg==x"} << QByteArray("=x")
                                         << QByteArray("quvo_vevi2zar.log");
}

void Tst_command_line::accepted()
{
    QFETCH(QList<QByteArray>, arguments);
    const Command_line result = read_command_line(arguments);
    QCOMPARE(result.kind, Command_line::Kind::run);
    QVERIFY(result.message.isEmpty());
    QTEST(result.config_file, "config_file");
    QTEST(result.log_file, "log_file");
}

void Tst_command_line::help_words_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<bool>("help");

    for (const char *word : {"-h", "-?", "/?", "/help", "--help", "--HELP", "-Help", "/H", "--h", "-HELP", "/Help"})
        QTest::newRow(word) << QByteArray(word) << true;
    for (const char *word : {"-hElp", "-hlp", "-", "--", "/", "-help2", "/cfg=x", "?", "h", "---h", "-H "})
        QTest::newRow(word) << QByteArray(word) << false;
}

// A help word alone asks for help; anything else of that shape is unknown.
void Tst_command_line::help_words()
{
    QFETCH(QByteArray, argument);
    QFETCH(bool, help);
    const Command_line result = read_command_line({argument});
    if (help) {
        QCOMPARE(result.kind, Command_line::Kind::help);
    } else {
        QCOMPARE(result.kind, Command_line::Kind::error);
        QCOMPARE(result.message, unknown_option.arg(QString::fromUtf8(argument)));
    }
}

void Tst_command_line::version_and_help_texts()
{
    const QString version = version_text();
    QVERIFY(version.startsWith(QStringLiteral("quvo_vevi2zar, версия 1.10.0 (13 апреля 2022), сборка ")));
    QVERIFY(version.contains(QStringLiteral("\n\nЭта программа через соединение WebSocket подключается к серверу "
                                            "QUVO-LoRa")));
    QVERIFY(version.endsWith(QStringLiteral("доступным через этот сервер QUVO-LoRa.")));
    QCOMPARE(version.count(QLatin1Char('\n')), 2);

    QCOMPARE(help_title(), QStringLiteral("quvo_vevi2zar --help"));
    QCOMPARE(help_text(),
             version
                 + QStringLiteral("\n\nОпции командной строки:\n"
                                  "--help, -?, -h, -help, /?, /h, /help и т.п. - выдать этот текст и выйти\n"
                                  "--cfg=\"файл\" - использовать указанный файл конфигурации (если опция не "
                                  "указана, используется файл «quvo_vevi2zar.cfg»)\n"
                                  "--log=\"файл\" - использовать указанный файл журнала (если опция не указана, "
                                  "используется файл «quvo_vevi2zar.log»)\n"));

    const QString start = startup_line();
    QVERIFY(start.startsWith(QStringLiteral("quvo_vevi2zar, версия 1.10.0 (13 апреля 2022), сборка ")));
    QVERIFY(start.endsWith(QStringLiteral(": программа запускается...")));
}

void Tst_command_line::help_box_ends_with_zero_and_leaves_log_alone()
{
    int code = -1;
    const Seen_box box = close_box_of([&] { code = run_program({"/?"}); });
    QCOMPARE(code, 0);
    QVERIFY(box.shown);
    QCOMPARE(box.title, help_title());
    QCOMPARE(box.text, help_text());
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.captions, QStringList{QStringLiteral("Закрыть")});
    QVERIFY(box.tool_tip.startsWith(QStringLiteral("Если вы сюда нажмёте")));
    QVERIFY(!QFile::exists(log_name));
    QVERIFY(!QApplication::windowIcon().availableSizes().isEmpty());
}

void Tst_command_line::rejected_data()
{
    QTest::addColumn<QList<QByteArray>>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("help not alone") << QList<QByteArray>{"-help", "-x"} << lone_option.arg("-help");
    QTest::newRow("help after option") << QList<QByteArray>{"--cfg=a", "--HELP"} << lone_option.arg("--HELP");
    QTest::newRow("unknown before help") << QList<QByteArray>{"-x", "-h"} << unknown_option.arg("-x");
    QTest::newRow("bare word") << QList<QByteArray>{"file.cfg"} << unknown_option.arg("file.cfg");
    QTest::newRow("empty argument") << QList<QByteArray>{""} << unknown_option.arg("");
    QTest::newRow("slash option") << QList<QByteArray>{"/cfg=x"} << unknown_option.arg("/cfg=x");
    QTest::newRow("other long option") << QList<QByteArray>{"--config=x"} << unknown_option.arg("--config=x");
    QTest::newRow("cfg twice") << QList<QByteArray>{"--cfg=a.cfg", "--cfg=b.cfg"} << cfg_twice;
    QTest::newRow("log twice") << QList<QByteArray>{"--log=a", "--cfg=c", "--log=a"} << log_twice;
    QTest::newRow("cfg empty") << QList<QByteArray>{"--cfg="} << cfg_format;
    QTest::newRow("cfg alone") << QList<QByteArray>{"--cfg"} << cfg_format;
    QTest::newRow("cfg longer word") << QList<QByteArray>{"--cfgfile=x"} << cfg_format;
    QTest::newRow("log longer word") << QList<QByteArray>{"--logx"} << log_format;
    QTest::newRow("log empty") << QList<QByteArray>{"--log="} << log_format;
    QTest::newRow("format before duplicate") << QList<QByteArray>{"--cfg=a", "--cfg"} << cfg_format;
    QTest::newRow("first fault wins") << QList<QByteArray>{"--log=", "-x"} << log_format;
    QTest::newRow("utf-8 shown") << QList<QByteArray>{"-ключ"} << unknown_option.arg("-ключ");
}

void Tst_command_line::rejected()
{
    QFETCH(QList<QByteArray>, arguments);
    const Command_line result = read_command_line(arguments);
    QCOMPARE(result.kind, Command_line::Kind::error);
    QTEST(result.message, "message");
}

void Tst_command_line::error_box_looks_as_designed()
{
    const QString text = QStringLiteral("<b>не разметка</b>\nвторая строка");
    const Seen_box box = close_box_of([&] { show_error(text, nullptr); });
    QVERIFY(box.shown);
    QCOMPARE(box.title, QStringLiteral("quvo_vevi2zar 1.10.0: ошибка"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.format, Qt::PlainText);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.captions, QStringList{QStringLiteral("Закрыть")});
    QCOMPARE(box.tool_tip, QStringLiteral("Если вы сюда нажмёте, окно с сообщением будет закрыто.\nТакже это окно "
                                          "можно закрыть клавишами 'Esc', 'Enter', 'пробел' и\n'Alt-F4'."));
    QVERIFY(!QFile::exists(log_name));
}

void Tst_command_line::rejected_command_line_shows_box_and_returns_one()
{
    int code = -1;
    const Seen_box box = close_box_of([&] { code = run_program({"-help", "-x"}); });
    QCOMPARE(code, 1);
    QCOMPARE(box.text, lone_option.arg("-help"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY(!QFile::exists(log_name));
    QCOMPARE(config_file_name(), QByteArray("quvo_vevi2zar.cfg"));
}

void Tst_command_line::report_exception_of_err_logs_nothing_more()
{
    const Err err(QStringLiteral("Файл не найден."));
    const QByteArray logged = read_file(log_name);
    QCOMPARE(logged.count("Файл не найден."), 1);
    const Seen_box box = close_box_of([&] { report_exception(err, nullptr); });
    QCOMPARE(box.text, QStringLiteral("Файл не найден."));
    QCOMPARE(read_file(log_name), logged);
}

void Tst_command_line::report_exception_of_std_exception_logs_once()
{
    const std::bad_alloc failure;
    const Seen_box box = close_box_of([&] { report_exception(failure, nullptr); });
    QCOMPARE(box.text, QString::fromUtf8(failure.what()));
    const QByteArray logged = read_file(log_name);
    QCOMPARE(logged.count("] "), 1);
    QVERIFY(logged.endsWith(QByteArray("] ") + failure.what() + "\n\n"));
}

void Tst_command_line::report_unexpected_logs_and_shows()
{
    const Seen_box box = close_box_of([&] { report_unexpected(place_code(1, 3), nullptr); });
    QCOMPARE(box.text, QStringLiteral("Неожиданная ошибка №1.3."));
    QVERIFY(read_file(log_name).endsWith("] Неожиданная ошибка №1.3.\n\n"));
}

// As a process: nothing is shown, the notice goes to standard output.
void Tst_command_line::unwritable_log_ends_program_with_two()
{
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(dir.path());
    program.start(QStringLiteral(QUVO_PROGRAM),
                  {QStringLiteral("--log=") + dir.filePath(QStringLiteral("missing/x.log"))});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 2);
    QCOMPARE(program.readAllStandardOutput(), QByteArray("Error in logging.\n"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("quvo_vevi2zar.log"))));
}

void Tst_command_line::arguments_taken_as_typed()
{
    char program[] = "quvo_vevi2zar";
    char cfg[] = "--cfg=файл.cfg";
    char help[] = "/?";
    char *argv[] = {program, cfg, help, nullptr};
    QCOMPARE(program_arguments(3, argv), (QList<QByteArray>{"--cfg=файл.cfg", "/?"}));
    QCOMPARE(program_arguments(1, argv), QList<QByteArray>());
}

QTEST_MAIN(Tst_command_line)
#include "tst_command_line.moc"
