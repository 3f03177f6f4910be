#include "config/devices.h"

#include "base/err.h"
#include "base/log.h"
#include "config/file_error.h"
#include "config/settings.h"
#include "support/test_support.h"

#include <QtTest>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>

namespace {

// "EUI:port:max_frame" for every served device, in map order; checks that both maps agree.
QString served_list()
{
    QStringList items;
    for (const auto &entry : served_devices)
        items << QString("%1:%2:%3%4").arg(format_eui(entry.first)).arg(entry.second.tcp_port).arg(entry.second.max_frame)
                     .arg(entry.second.mode == Device_mode::modbus_tcp ? ":modbus_tcp" : "");
    if (!served_model.consistent())
        return "the port index differs from the devices";
    return items.join(' ');
}

} // namespace

class Tst_devices_file : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void format_eui_data();
    void format_eui();
    void read_data();
    void read();
    void duplicates_are_logged();
    void port_zero_kept_but_not_served();
    void missing_file();
    void write_then_read();
    void saved_max_frame_is_explicit();
    void write_cannot_open_data();
    void write_cannot_open();
    void write_failure_keeps_old_file_data();
    void write_failure_keeps_old_file();
    void save_error_texts_data();
    void save_error_texts();

private:
    void write_file(const QString &name, const QByteArray &bytes);
    QByteArray read_file(const QString &name);
    QString log_name;

    QTemporaryDir dir;
};

void Tst_devices_file::initTestCase()
{
    QVERIFY(dir.isValid());
    log_name = dir.filePath("test.log");
    set_log_file_name(log_name.toUtf8());
}

void Tst_devices_file::init()
{
    reset_settings();
    reset_devices();
    settings.devices_file = dir.filePath("devices.cfg");
    QFile::remove(settings.devices_file);
    QFile::remove(log_name);
}

void Tst_devices_file::write_file(const QString &name, const QByteArray &bytes)
{
    QFile f(name);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(name));
}

QByteArray Tst_devices_file::read_file(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Tst_devices_file::format_eui_data()
{
    QTest::addColumn<quint64>("eui");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << Q_UINT64_C(0) << "0000000000000000";
    QTest::newRow("leading zeros") << Q_UINT64_C(0xABC) << "0000000000000ABC";
    QTest::newRow("all digits") << Q_UINT64_C(0x0123456789ABCDEF) << "0123456789ABCDEF";
    QTest::newRow("max") << ~Q_UINT64_C(0) << "FFFFFFFFFFFFFFFF";
}

void Tst_devices_file::format_eui()
{
    QFETCH(quint64, eui);
    QFETCH(QString, text);
    QCOMPARE(::format_eui(eui), text);
}

void Tst_devices_file::read_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("devices");
    QTest::addColumn<QString>("error");

    const QString missing_eui = "в описании объекта «device» отсутствует обязательный атрибут: «eui».";
    const QString missing_port = "в описании объекта «device» отсутствует обязательный атрибут: «tcp_port».";
    const QString comma_or_parenthesis = "ожидается запятая, разделяющая атрибуты, или круглая скобка, завершающая список атрибутов.";
    const QString unknown_attribute = "неизвестный атрибут объекта «device». Знаю только атрибуты «eui», «tcp_port», «max_frame» и «mode».";
    const QString hex16 = "ожидается 16-значное шестнадцатиричное число.";

    QTest::newRow("empty") << QByteArray() << "" << QString();
    QTest::newRow("only comments") << QByteArray("\xEF\xBB\xBF# a\r\n// b\n") << "" << QString();
    QTest::newRow("written form")
        << QByteArray("# header\n\ndevice(eui=0011223344556677, tcp_port=4001, max_frame=51)\n")
        << "0011223344556677:4001:51" << QString();
    QTest::newRow("hand-written form, default max_frame")
        << QByteArray("device (\n  tcp_port = 0 ,\n  eui = abcdefabcdefabcd // modem\n)\n")
        << "ABCDEFABCDEFABCD:0:77" << QString();
    QTest::newRow("two statements on one line")
        << QByteArray("device(eui=FFFFFFFFFFFFFFFF,tcp_port=65535)device(eui=0000000000000001,tcp_port=1,max_frame=9999)")
        << "0000000000000001:1:9999 FFFFFFFFFFFFFFFF:65535:77" << QString();
    QTest::newRow("device()") << QByteArray("device()") << "" << "1:9: " + missing_eui;
    QTest::newRow("device( )") << QByteArray("device( \n )") << "" << "2:3: " + missing_eui;
    QTest::newRow("no tcp_port") << QByteArray("device(eui=0000000000000001)") << "" << "1:29: " + missing_port;
    QTest::newRow("no eui") << QByteArray("device(tcp_port=1)") << "" << "1:19: " + missing_eui;
    QTest::newRow("short eui") << QByteArray("device(eui=1, tcp_port=1)") << "" << "1:12: " + hex16;
    QTest::newRow("seventeen digits") << QByteArray("device(eui=00000000000000011, tcp_port=1)") << ""
                                      << "1:28: " + comma_or_parenthesis;
    QTest::newRow("eui with prefix") << QByteArray("device(eui=0x00000000000001, tcp_port=1)") << "" << "1:12: " + hex16;
    QTest::newRow("port too large") << QByteArray("device(eui=0000000000000001, tcp_port=65536)") << ""
                                    << "1:43: число слишком большое (должно быть не более 65535)";
    QTest::newRow("max_frame 0") << QByteArray("device(eui=0000000000000001, tcp_port=1, max_frame=0)") << ""
                                 << "1:52: число слишком маленькое (должно быть не менее 1).";
    QTest::newRow("max_frame 10000") << QByteArray("device(eui=0000000000000001, tcp_port=1, max_frame=10000)") << ""
                                     << "1:56: число слишком большое (должно быть не более 9999)";
    QTest::newRow("trailing comma") << QByteArray("device(eui=0000000000000001, tcp_port=1,)") << ""
                                    << "1:41: " + unknown_attribute;
    QTest::newRow("unknown attribute") << QByteArray("device(port=1)") << "" << "1:8: " + unknown_attribute;
    QTest::newRow("attribute prefix only") << QByteArray("device(tcp=1)") << "" << "1:8: " + unknown_attribute;
    QTest::newRow("gateway and raw")
        << QByteArray("device(mode=modbus_tcp, eui=0000000000000001, tcp_port=1) device(eui=0000000000000002, tcp_port=2, mode = raw)")
        << "0000000000000001:1:77:modbus_tcp 0000000000000002:2:77" << QString();
    QTest::newRow("unknown mode") << QByteArray("device(eui=0000000000000001, tcp_port=1, mode=modbus)") << ""
                                  << "1:47: неправильное значение атрибута «mode»: знаю только значения «raw» и «modbus_tcp».";
    QTest::newRow("longer mode") << QByteArray("device(eui=0000000000000001, tcp_port=1, mode=rawx)") << ""
                                 << "1:47: неправильное значение атрибута «mode»: знаю только значения «raw» и «modbus_tcp».";
    QTest::newRow("repeated mode") << QByteArray("device(mode=raw, mode=raw)") << ""
                                   << "1:22: параметр «mode» уже определён выше по тексту.";
    QTest::newRow("repeated attribute") << QByteArray("device(tcp_port=1, tcp_port=1)") << ""
                                        << "1:28: параметр «tcp_port» уже определён выше по тексту.";
    QTest::newRow("no equals sign") << QByteArray("device(eui 0000000000000001)") << ""
                                    << "1:12: ожидается символ «=».";
    QTest::newRow("no comma") << QByteArray("device(eui=0000000000000001 tcp_port=1)") << ""
                              << "1:29: " + comma_or_parenthesis;
    QTest::newRow("no parenthesis") << QByteArray("device eui=1") << "" << "1:8: ожидается символ «(».";
    QTest::newRow("longer word") << QByteArray("devices()") << "" << "1:7: ожидается символ «(».";
    QTest::newRow("other statement") << QByteArray("device(eui=0000000000000001, tcp_port=1)\n  modem()") << "0000000000000001:1:77"
                                     << "2:3: файл со списком устройств должен состоять только из предложений «device».";
    QTest::newRow("unfinished") << QByteArray("device(eui=0000000000000001, tcp_port=1") << ""
                                << "1:40: " + comma_or_parenthesis;
}

void Tst_devices_file::read()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, devices);
    QFETCH(QString, error);

    settings.default_max_frame = 77;
    write_file(settings.devices_file, text);
    const QString expected = error.isEmpty()
        ? QString()
        : QString("Ошибка в %1-м символе %2-й строки файла «%3»: %4")
              .arg(error.section(':', 1, 1), error.section(':', 0, 0), settings.devices_file, error.section(": ", 1));
    QCOMPARE(error_of(read_devices), expected);
    QCOMPARE(served_list(), devices);
}

// The first statement wins; the EUI is logged in upper case, the port in decimal.
void Tst_devices_file::duplicates_are_logged()
{
    add_served(5, 1, 1);
    write_file(settings.devices_file,
               "device(eui=00000000000000ab, tcp_port=4001)\n"
               "device(eui=00000000000000AB, tcp_port=4002, max_frame=1)\n"
               "device(eui=00000000000000ac, tcp_port=4001)\n"
               "device(eui=00000000000000ad, tcp_port=4003)\n");
    QCOMPARE(error_of(read_devices), QString());
    QCOMPARE(served_list(), QString("00000000000000AB:4001:51 00000000000000AD:4003:51"));

    const QString log = QString::fromUtf8(read_file(log_name));
    QVERIFY2(log.contains(QString("Файл со списком устройств («%1») несколько раз упоминает устройство с eui=0x00000000000000AB. "
                                  "Все упоминания кроме первого игнорируются.").arg(settings.devices_file)), qPrintable(log));
    QVERIFY2(log.contains(QString("Файл со списком устройств «%1» несколько раз упоминает один и тот же номер порта TCP: 4001. "
                                  "Все упоминания кроме первого игнорируются.").arg(settings.devices_file)), qPrintable(log));
}

// A stored file may name port 0: the modem is listed, and the log says once why it is
// not served.
void Tst_devices_file::port_zero_kept_but_not_served()
{
    write_file(settings.devices_file,
               "device(eui=00000000000000ab, tcp_port=0)\n"
               "device(eui=00000000000000ac, tcp_port=0)\n"
               "device(eui=00000000000000ad, tcp_port=1)\n");
    QCOMPARE(error_of(read_devices), QString());
    QCOMPARE(served_list(), QString("00000000000000AB:0:51 00000000000000AD:1:51"));
    QVERIFY(!is_servable(served_devices.at(0xAB)));
    QVERIFY(is_servable(served_devices.at(0xAD)));

    const QString log = QString::fromUtf8(read_file(log_name));
    const QString why = QString("Файл со списком устройств «%1» назначает радиомодему с eui=0x00000000000000AB порт TCP 0. "
                                "Этот радиомодем не будет обслуживаться: номер порта должен быть в диапазоне 1...65535.")
                            .arg(settings.devices_file);
    QCOMPARE(log.count(why), 1);
    QCOMPARE(log.count("не будет обслуживаться"), 1);
}

void Tst_devices_file::missing_file()
{
    add_served(5, 1, 1);
    QCOMPARE(error_of(read_devices), QString("Не найден файл «%1».").arg(settings.devices_file));
}

void Tst_devices_file::write_then_read()
{
    const Served_devices devices = {
        {~Q_UINT64_C(0), {9999, 65535}},
        {1, {1, 0}},
        {Q_UINT64_C(0x8000000000000000), {51, 4001, Device_mode::modbus_tcp}},
    };
    for (const auto &device : devices)
        served_model.add({device.first, device.second});
    QCOMPARE(error_of(write_devices), QString());

    const QByteArray expected = "\xEF\xBB\xBF# Содержимое этого файла сформировано программой quvo_vevi2zar 1.10.0.\n\n"
                                "device(eui=0000000000000001, tcp_port=0, max_frame=1)\n"
                                "device(eui=8000000000000000, tcp_port=4001, max_frame=51, mode=modbus_tcp)\n"
                                "device(eui=FFFFFFFFFFFFFFFF, tcp_port=65535, max_frame=9999)\n";
    QCOMPARE(read_file(settings.devices_file), expected);

    reset_devices();
    QCOMPARE(error_of(read_devices), QString());
    QCOMPARE(served_list(), QString("0000000000000001:0:1 8000000000000000:4001:51:modbus_tcp FFFFFFFFFFFFFFFF:65535:9999"));
}

// After a save the default of the configuration no longer applies to a device.
void Tst_devices_file::saved_max_frame_is_explicit()
{
    write_file(settings.devices_file, "device(eui=0000000000000001, tcp_port=1)");
    QCOMPARE(error_of(read_devices), QString());
    QCOMPARE(error_of(write_devices), QString());
    settings.default_max_frame = 9;
    QCOMPARE(error_of(read_devices), QString());
    QCOMPARE(served_list(), QString("0000000000000001:1:51"));
}

void Tst_devices_file::write_cannot_open_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("cause");
    QTest::newRow("folder gone") << dir.filePath("no such folder/devices.cfg") << "нет такого файла или папки";
    // Not even root writes there.
    QTest::newRow("file system refuses") << "/sys/devices.cfg" << "нет прав на запись в этот файл или в его папку";
}

// The save file cannot be opened: the message gives the cause and the full path; the list in
// use stays unsaved until a save succeeds.
void Tst_devices_file::write_cannot_open()
{
    QFETCH(QString, file);
    QFETCH(QString, cause);
    const QString saved_to = settings.devices_file;
    settings.devices_file = file;
    QCOMPARE(error_of(write_devices),
             QString("Не удалось начать запись в файл списка устройств, подлежащих обслуживанию. Файл «%1»: %2.")
                 .arg(file, cause));
    QCOMPARE(devices_unsaved(), QString("Список не сохранён в файле «%1»: %2.").arg(file, cause));
    settings.devices_file = saved_to;
    QCOMPARE(error_of(write_devices), QString());
    QCOMPARE(devices_unsaved(), QString());
}

void Tst_devices_file::write_failure_keeps_old_file_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("size_limit");
    QTest::newRow("many writes") << 20000 << 65536;
    QTest::newRow("one short write") << 100 << 4096;
}

// A write that fails half-way is reported with its cause, and the old file stays whole.
void Tst_devices_file::write_failure_keeps_old_file()
{
    QFETCH(int, devices);
    QFETCH(int, size_limit);
    const QByteArray old_content = "device(eui=0000000000000001, tcp_port=1)\n";
    write_file(settings.devices_file, old_content);
    for (quint64 eui = 1; eui <= quint64(devices); ++eui)
        add_served(eui, quint16(eui));

    // Files may not grow past the limit for a moment; the log stays well below it.
    rlimit old_limit;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit limit = old_limit;
    limit.rlim_cur = rlim_t(size_limit);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const QString error = error_of(write_devices);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);

    const QString expected = QString("Не удалось сохранить файл списка устройств, подлежащих обслуживанию. "
                                     "Файл «%1»: файл превысил допустимый размер.")
                                 .arg(QFileInfo(settings.devices_file).absoluteFilePath());
    QVERIFY2(error == expected, qPrintable(error));
    // The toolkit's own text is kept in the log.
    QVERIFY(QString::fromUtf8(read_file(log_name)).contains(QString("errorString=«%1»").arg(qt_error_string(EFBIG))));
    QCOMPARE(read_file(settings.devices_file), old_content);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).filter("devices.cfg"), QStringList("devices.cfg"));
}

// The reason in a failed save's message is Russian, or the system's text in the user's
// language; the toolkit's English text never shows.
void Tst_devices_file::save_error_texts_data()
{
    QTest::addColumn<QString>("toolkit_text");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("shown");
    QTest::newRow("no permission") << qt_error_string(EACCES) << int(QFileDevice::OpenError)
                                   << "нет прав на запись в этот файл или в его папку";
    QTest::newRow("not permitted") << qt_error_string(EPERM) << int(QFileDevice::RenameError)
                                   << "операция запрещена системой (нет прав на изменение файла)";
    QTest::newRow("read-only file system") << qt_error_string(EROFS) << int(QFileDevice::RenameError)
                                           << "файловая система доступна только для чтения";
    QTest::newRow("disk full") << qt_error_string(ENOSPC) << int(QFileDevice::ResourceError)
                               << "на диске не осталось свободного места";
    QTest::newRow("quota") << qt_error_string(EDQUOT) << int(QFileDevice::WriteError) << "исчерпана дисковая квота";
    QTest::newRow("system text in the user's language") << "Отказано в доступе" << int(QFileDevice::WriteError)
                                                        << "Отказано в доступе";
    QTest::newRow("unknown English text, rename") << "Some other failure" << int(QFileDevice::RenameError)
                                                  << "не удалось заменить прежний файл новым";
    QTest::newRow("unknown English text, write") << "Some other failure" << int(QFileDevice::WriteError)
                                                 << "ошибка записи в файл";
    QTest::newRow("no text") << QString() << int(QFileDevice::UnspecifiedError) << "причина неизвестна";
}

void Tst_devices_file::save_error_texts()
{
    QFETCH(QString, toolkit_text);
    QFETCH(int, error);
    QFETCH(QString, shown);
    QCOMPARE(file_error_text(toolkit_text, QFileDevice::FileError(error)), shown);
}

QTEST_GUILESS_MAIN(Tst_devices_file)
#include "tst_devices_file.moc"
