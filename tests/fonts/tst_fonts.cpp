#include "base/log.h"
#include "support/test_support.h"
#include "ui/fonts.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QSet>
#include <QTemporaryDir>
#include <QToolTip>
#include <QWidget>
#include <QtTest>

class Tst_fonts : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void scale_factors_data();
    void scale_factors();
    void scaled_sizes_data();
    void scaled_sizes();
    void mono_family_walk_data();
    void mono_family_walk();
    void digit_widths();
    void first_window_chooses_fonts_once();
    void installed_monospace_family_preferred();

private:
    QTemporaryDir dir;
    QFont application_font;
    QFont tool_tip_font;
};

void Tst_fonts::init()
{
    QVERIFY(log_in(dir));
    application_font = QApplication::font();
    tool_tip_font = QToolTip::font();
    reset_fonts();
}

void Tst_fonts::cleanup()
{
    QApplication::setFont(application_font);
    QToolTip::setFont(tool_tip_font);
    reset_fonts();
    reset_log_file_name();
}

void Tst_fonts::scale_factors_data()
{
    QTest::addColumn<quint64>("width");
    QTest::addColumn<quint64>("height");
    QTest::addColumn<quint64>("digit");
    QTest::addColumn<quint64>("line");
    QTest::addColumn<quint32>("large");
    QTest::addColumn<quint32>("small_one");

    QTest::newRow("1920 x 1040") << quint64(1920) << quint64(1040) << quint64(7) << quint64(16) << quint32(1599908)
                                 << quint32(1200000);
    QTest::newRow("height decides") << quint64(4000) << quint64(700) << quint64(7) << quint64(16)
                                    << quint32(1093750) << quint32(1000000);
    QTest::newRow("small screen") << quint64(800) << quint64(600) << quint64(7) << quint64(16) << quint32(1000000)
                                  << quint32(1000000);
    QTest::newRow("very large screen") << quint64(7680) << quint64(4320) << quint64(7) << quint64(16)
                                       << quint32(1800000) << quint32(1600000);
    QTest::newRow("beyond 32 bits") << (quint64(1) << 32) << (quint64(1) << 32) << quint64(1) << quint64(1)
                                    << quint32(1800000)
                                    << quint32(1600000);
    QTest::newRow("just at the large cap") << quint64(2161) << quint64(1152) << quint64(7) << quint64(16)
                                      << quint32(1800000) << quint32(1350000);
}

void Tst_fonts::scale_factors()
{
    QFETCH(quint64, width);
    QFETCH(quint64, height);
    QFETCH(quint64, digit);
    QFETCH(quint64, line);
    QTEST(large_scale_factor(width, height, digit, line), "large");
    QTEST(small_scale_factor(width, height, digit, line), "small_one");
}

void Tst_fonts::scaled_sizes_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<quint32>("factor");
    QTest::addColumn<int>("scaled");

    QTest::newRow("9 points large") << qint64(9) << quint32(1599908) << 14;
    QTest::newRow("9 points small") << qint64(9) << quint32(1200000) << 10;
    QTest::newRow("unchanged") << qint64(12) << quint32(1000000) << 12;
    QTest::newRow("largest base size") << qint64(1193046470) << quint32(1800000) << 2147483646;
}

void Tst_fonts::scaled_sizes()
{
    QFETCH(qint64, size);
    QFETCH(quint32, factor);
    QTEST(scaled_size(size, factor), "scaled");
}

void Tst_fonts::mono_family_walk_data()
{
    QTest::addColumn<QStringList>("families");
    QTest::addColumn<QStringList>("qualifying");
    QTest::addColumn<QString>("chosen");

    const QStringList all{QStringLiteral("*")};
    QTest::newRow("dejavu beats consolas")
        << QStringList{"Arial", "Consolas", "DejaVu Sans", "DejaVu Sans Mono", "Liberation Mono"} << all
        << "DejaVu Sans Mono";
    QTest::newRow("courier new matches courier") << QStringList{"Arial", "Courier New", "Times New Roman"} << all
                                                 << "Courier New";
    QTest::newRow("unsorted input") << QStringList{"Monaco", "Andale Mono", "Verdana"} << all << "Monaco";
    QTest::newRow("letter case ignored") << QStringList{"consolas", "courier"} << all << "consolas";
    QTest::newRow("upper-case family in order") << QStringList{"Monaco", "MONOFUR"} << all << "MONOFUR";
    QTest::newRow("longer family name") << QStringList{"Droid Sans Mono Slashed", "Profont"} << all
                                        << "Droid Sans Mono Slashed";
    QTest::newRow("not qualifying skipped")
        << QStringList{"Consolas", "DejaVu Sans Mono"} << QStringList{"Consolas"} << "Consolas";
    QTest::newRow("nothing qualifies") << QStringList{"Consolas", "DejaVu Sans Mono"} << QStringList() << "";
    QTest::newRow("none preferred") << QStringList{"Arial", "Noto Sans Mono", "Zapf"} << all << "";
    QTest::newRow("shorter than entry") << QStringList{"Deja", "DejaVu", "Incon"} << all << "";
    QTest::newRow("empty list") << QStringList() << all << "";
    QTest::newRow("every preferred family")
        << QStringList{"Andale Mono", "Consolas", "Courier", "DejaVu Sans Mono", "Droid Sans Mono", "Inconsolata",
                       "Monaco", "Monofur", "ProFont", "ProggyClean"}
        << all << "DejaVu Sans Mono";
    QTest::newRow("priorities past dejavu")
        << QStringList{"Andale Mono", "Inconsolata", "Monaco", "ProggyClean"} << all << "Inconsolata";
}

void Tst_fonts::mono_family_walk()
{
    QFETCH(QStringList, families);
    QFETCH(QStringList, qualifying);
    const QSet<QString> set(qualifying.begin(), qualifying.end());
    const QString chosen = choose_mono_family(families, [&](const QString &family) {
        return set.contains(QStringLiteral("*")) || set.contains(family);
    });
    QTEST(chosen, "chosen");
}

void Tst_fonts::digit_widths()
{
    const QFontMetrics metrics(QApplication::font());
    int widest = 0;
    for (const QChar c : QStringLiteral("0123456789"))
        widest = std::max(widest, metrics.horizontalAdvance(c));
    QCOMPARE(max_digit_width(metrics), widest);
    for (const QChar c : QStringLiteral("ABCDEFabcdef"))
        widest = std::max(widest, metrics.horizontalAdvance(c));
    int digits = -1;
    int hex_digits = -1;
    hex_digit_widths(metrics, digits, hex_digits);
    QCOMPARE(digits, max_digit_width(metrics));
    QCOMPARE(hex_digits, widest);
}

void Tst_fonts::first_window_chooses_fonts_once()
{
    QCOMPARE(digit_width(), 7);
    QCOMPARE(line_height(), 16);

    QWidget first;
    init_fonts(&first);
    const QFont chosen = font_main();
    const QFontMetrics metrics(chosen);
    QCOMPARE(digit_width(), metrics.horizontalAdvance(QLatin1Char('0')));
    QCOMPARE(line_height(), metrics.lineSpacing());
    QCOMPARE(QApplication::font(), chosen);
    QCOMPARE(QToolTip::font(), font_small());
    QCOMPARE(font_small().family(), chosen.family());
    QCOMPARE(font_mono().family(), font_small_mono().family());
    // The test screen is small, so nothing is enlarged.
    if (application_font.pointSize() > 0) {
        QCOMPARE(chosen.pointSize(), application_font.pointSize());
        QCOMPARE(font_mono().pointSize(), application_font.pointSize());
    }

    QFont other = chosen;
    other.setPointSize(chosen.pointSize() + 10);
    QApplication::setFont(other);
    QWidget second;
    init_fonts(&second);
    QCOMPARE(font_main(), chosen);
    QCOMPARE(digit_width(), metrics.horizontalAdvance(QLatin1Char('0')));

    reset_fonts();
    QCOMPARE(digit_width(), 7);
    QCOMPARE(line_height(), 16);
    QCOMPARE(font_main(), QFont());
}

// Font databases that name the regular face "Book" or "Regular" still qualify.
void Tst_fonts::installed_monospace_family_preferred()
{
    if (!QFontDatabase().families(QFontDatabase::Cyrillic).contains(QStringLiteral("DejaVu Sans Mono")))
        QSKIP("DejaVu Sans Mono is not installed");
    QWidget window;
    init_fonts(&window);
    QCOMPARE(font_mono().family(), QStringLiteral("DejaVu Sans Mono"));
    QCOMPARE(font_small_mono().family(), QStringLiteral("DejaVu Sans Mono"));
}

QTEST_MAIN(Tst_fonts)
#include "tst_fonts.moc"
