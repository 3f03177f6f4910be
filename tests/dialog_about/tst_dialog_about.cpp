#include "base/command_line.h"
#include "base/log.h"
#include "base/version.h"
#include "config/settings.h"
#include "ui/dialog_about.h"
#include "ui/ebox_about.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

class Tst_dialog_about : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void names_files_in_use_data();
    void names_files_in_use();
    void text_is_selectable_not_editable();
    void fits_the_screen();
    void closes_data();
    void closes();

private:
    QTemporaryDir dir;
};

void Tst_dialog_about::init()
{
    QVERIFY(dir.isValid());
    set_log_file_name(dir.filePath(QStringLiteral("test.log")).toUtf8());
}

void Tst_dialog_about::cleanup()
{
    reset_config_file_name();
    reset_log_file_name();
    reset_settings();
}

void Tst_dialog_about::names_files_in_use_data()
{
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<QString>("devices");

    QTest::newRow("defaults") << QByteArray() << QString();
    QTest::newRow("given names") << QByteArray("other.cfg") << QStringLiteral("modems.cfg");
    QTest::newRow("Cyrillic and blanks") << QByteArray("конфиг 2.cfg")
                                         << QStringLiteral("устройства 2.cfg");
}

// Whatever --cfg, --log and the configuration named is what the text shows.
void Tst_dialog_about::names_files_in_use()
{
    QFETCH(QByteArray, cfg);
    QFETCH(QString, devices);
    if (!cfg.isEmpty())
        set_config_file_name(cfg);
    if (!devices.isEmpty())
        settings.devices_file = devices;

    Dialog_about dialog(nullptr);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("О программе"));
    auto *text = dialog.findChild<Ebox_about *>();
    QVERIFY(text);
    const QString shown = text->toPlainText();
    QVERIFY(shown.startsWith(version_text() + QStringLiteral("\n\n")));
    const QString cfg_shown = cfg.isEmpty() ? QStringLiteral("quvo_vevi2zar.cfg")
                                            : QString::fromUtf8(cfg);
    const QString devices_shown = devices.isEmpty() ? QStringLiteral("devices.cfg") : devices;
    QVERIFY(shown.contains(QStringLiteral("из файла «%1».").arg(cfg_shown)));
    QVERIFY(shown.contains(QStringLiteral("об ошибках в файл «%1».")
                               .arg(QString::fromUtf8(log_file_name()))));
    QVERIFY(shown.contains(QStringLiteral("хранится в файле «%1»").arg(devices_shown)));
    QVERIFY(shown.endsWith(QStringLiteral("Обычно нет необходимости редактировать этот файл вручную.")));
    QVERIFY(!shown.contains(QLatin1Char('%')));
}

void Tst_dialog_about::text_is_selectable_not_editable()
{
    Dialog_about dialog(nullptr);
    auto *text = dialog.findChild<Ebox_about *>();
    QVERIFY(text);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    text->setFocus();
    const QString before = text->toPlainText();

    QTest::keyClicks(text, QStringLiteral("xyz"));
    QTest::keyClick(text, Qt::Key_Delete);
    QCOMPARE(text->toPlainText(), before);

    QVERIFY(text->textInteractionFlags() & Qt::TextSelectableByKeyboard);
    QVERIFY(text->textInteractionFlags() & Qt::TextSelectableByMouse);
    QTest::keyClick(text, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(text->textCursor().selectedText().size(), before.size());
    QApplication::clipboard()->clear();
    QTest::keyClick(text, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), before);
}

// The text box asks for 85 digits by 60 lines, which is taller than most screens;
// the dialog must still fit, with the close button in view.
void Tst_dialog_about::fits_the_screen()
{
    Dialog_about dialog(nullptr);
    auto *text = dialog.findChild<Ebox_about *>();
    QVERIFY(text);
    const QSize available = dialog.screen()->availableSize();
    QVERIFY(dialog.width() <= available.width());
    QVERIFY(dialog.height() <= available.height());
    QVERIFY(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
}

void Tst_dialog_about::closes_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Escape") << QStringLiteral("escape");
    QTest::newRow("close button") << QStringLiteral("button");
    QTest::newRow("window close control") << QStringLiteral("close");
}

void Tst_dialog_about::closes()
{
    QFETCH(QString, how);
    Dialog_about dialog(nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy rejected(&dialog, &QDialog::rejected);

    if (how == QLatin1String("escape")) {
        QTest::keyClick(&dialog, Qt::Key_Escape);
    } else if (how == QLatin1String("button")) {
        auto *box = dialog.findChild<QDialogButtonBox *>();
        QVERIFY(box);
        QCOMPARE(box->buttons().size(), 1);
        QPushButton *close = qobject_cast<QPushButton *>(box->buttons().first());
        QCOMPARE(close->text(), QStringLiteral("Закрыть"));
        QTest::mouseClick(close, Qt::LeftButton);
    } else {
        dialog.close();
    }
    QCOMPARE(rejected.count(), 1);
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(Tst_dialog_about)
#include "tst_dialog_about.moc"
