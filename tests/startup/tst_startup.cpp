#include "app/command_line.h"
#include "app/log.h"
#include "app/program.h"
#include "config/devices.h"
#include "config/settings.h"
#include "support/modal_answer.h"

#include <QtTest>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

// Start-up reads the configuration, then the devices file; an error in either is shown,
// logged, and ends the program with exit code 3.
class Tst_startup : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void bad_file_ends_start_data();
    void bad_file_ends_start();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    void write_file(const QString &name, const QByteArray &bytes);

    QTemporaryDir dir;
};

void Tst_startup::initTestCase()
{
    QVERIFY(dir.isValid());
}

void Tst_startup::init()
{
    reset_settings();
    reset_devices();
    reset_config_file_name();
    QFile::remove(path("run.log"));
}

void Tst_startup::cleanup()
{
    reset_log_file_name();
}

void Tst_startup::write_file(const QString &name, const QByteArray &bytes)
{
    QFile f(path(name));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(name));
}

void Tst_startup::bad_file_ends_start_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QByteArray>("devices");
    QTest::addColumn<QString>("message");

    QTest::newRow("bad configuration")
        << QByteArray("ws_url = \"ws://127.0.0.1:1/\"\nws_login = user\n") << QByteArray("")
        << "Ошибка в 12-м символе 2-й строки файла «%1/bad.cfg»: здесь должна быть строка в двойных кавычках.";
    QTest::newRow("missing configuration") << QByteArray() << QByteArray() << "Не найден файл «%1/bad.cfg».";
    QTest::newRow("bad devices file")
        << QByteArray("ws_url = \"u\"\nws_login = \"l\"\nws_password = \"p\"\ndevices_file = \"%1/dev.cfg\"\n")
        << QByteArray("\n device(eui=1)")
        << "Ошибка в 13-м символе 2-й строки файла «%1/dev.cfg»: ожидается 16-значное шестнадцатиричное число.";
    QTest::newRow("missing devices file")
        << QByteArray("ws_url = \"u\"\nws_login = \"l\"\nws_password = \"p\"\ndevices_file = \"%1/none.cfg\"\n")
        << QByteArray() << "Не найден файл «%1/none.cfg».";
}

void Tst_startup::bad_file_ends_start()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, devices);
    QFETCH(QString, message);

    QFile::remove(path("bad.cfg"));
    if (!config.isEmpty())
        write_file("bad.cfg", QString::fromUtf8(config).replace("%1", dir.path()).toUtf8());
    if (!devices.isEmpty())
        write_file("dev.cfg", devices);

    int code = -1;
    const QString shown = close_box_of([&] {
        code = run_program({"--cfg=" + path("bad.cfg").toUtf8(), "--log=" + path("run.log").toUtf8()});
    }).text;
    const QString expected = QString(message).replace("%1", dir.path());
    QCOMPARE(code, 3);
    QCOMPARE(shown, expected);

    QFile log(path("run.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(log.readAll());
    QVERIFY2(logged.endsWith("] " + expected + "\n\n"), qPrintable(logged));
}

QTEST_MAIN(Tst_startup)
#include "tst_startup.moc"
