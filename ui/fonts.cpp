#include "ui/fonts.h"

#include "base/log.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QScreen>
#include <QToolTip>
#include <QWidget>

#include <algorithm>
#include <limits>

namespace {

constexpr int default_digit_width = 7;
constexpr int default_line_height = 16;
constexpr std::uint32_t unit_factor = 1000000;
// Beyond this a size times 1.8 no longer fits an int.
constexpr qint64 max_base_size = 1193046471;

struct Fonts {
    QFont main;
    QFont mono;
    QFont small_main;
    QFont small_mono;
    int digit_width = default_digit_width;
    int line_height = default_line_height;
    bool initialised = false;
};

Fonts &fonts()
{
    static Fonts value;
    return value;
}

struct Preferred_family {
    const char *name;
    int priority;
};

// In name order, as the walk in choose_mono_family needs; lower priority is better.
const Preferred_family preferred_families[] = {
    {"Andale Mono", 8}, {"Consolas", 1}, {"Courier", 9}, {"Deja Vu Sans Mono", 0}, {"Droid Sans Mono", 3},
    {"Inconsolata", 2}, {"Monaco", 7},   {"Monofur", 5}, {"Profont", 6},           {"Proggy", 4},
};

ushort fold_ascii(ushort c)
{
    return c >= 'A' && c <= 'Z' ? ushort(c - 'A' + 'a') : c;
}

enum class Name_match { prefix, family_below, family_above };

// Compares a preferred name with the start of a family name; a blank of the
// preferred name may be missing from the family ("DejaVu Sans Mono").
Name_match match_name(const QString &family, const char *preferred)
{
    int i = 0;
    for (const char *p = preferred; *p;) {
        const ushort f = i < family.size() ? fold_ascii(family.at(i).unicode()) : 0;
        const ushort t = fold_ascii(static_cast<unsigned char>(*p));
        if (f == t) {
            ++i;
            ++p;
        } else if (*p == ' ') {
            ++p;
        } else {
            // The family list is sorted without regard to letter case, so the order is judged the same way.
            return f < t ? Name_match::family_below : Name_match::family_above;
        }
    }
    return Name_match::prefix;
}

std::uint32_t scale_factor(std::uint64_t by_width, std::uint64_t by_height, std::uint32_t max_factor)
{
    const std::uint64_t factor = std::min(by_width, by_height);
    if (factor > max_factor)
        return max_factor;
    return std::max(static_cast<std::uint32_t>(factor), unit_factor);
}

// Windows names the upright face of normal weight "Normal"; other font databases
// call it "Regular" or "Book", so that face is looked for by its properties too.
bool has_normal_style(const QFontDatabase &database, const QString &family)
{
    const QStringList styles = database.styles(family);
    if (styles.contains(QStringLiteral("Normal")))
        return true;
    return std::any_of(styles.begin(), styles.end(), [&](const QString &style) {
        return !database.italic(family, style) && database.weight(family, style) == QFont::Normal;
    });
}

bool qualifies_as_mono(const QFontDatabase &database, const QString &family)
{
    return database.writingSystems(family).contains(QFontDatabase::Latin) && database.isFixedPitch(family)
        && !database.isPrivateFamily(family) && database.isSmoothlyScalable(family)
        && has_normal_style(database, family);
}

QString mono_family()
{
    const QFontDatabase database;
    const QString chosen = choose_mono_family(database.families(QFontDatabase::Cyrillic), [&](const QString &family) {
        return qualifies_as_mono(database, family);
    });
    return chosen.isEmpty() ? QFontDatabase::systemFont(QFontDatabase::FixedFont).family() : chosen;
}

QFont sized_by_points(const QFont &base, const QString &family, int points)
{
    return QFont(family, points, base.weight(), false);
}

QFont sized_by_pixels(const QFont &base, const QString &family, int pixels)
{
    QFont font(base);
    font.setFamily(family);
    font.setPixelSize(pixels);
    return font;
}

// Fallback A when the base font cannot be measured (default sizes),
// fallback B when only the screen or the scaling fails (the base font's sizes).
void use_base_font(Fonts &f, const QFont &base, int digit_w, int line_h)
{
    f.main = f.mono = f.small_main = f.small_mono = base;
    f.digit_width = digit_w;
    f.line_height = line_h;
}

bool measurable(int size)
{
    return size >= 1 && size <= 32767;
}

// Sets the four fonts and their sizes for the screen of the window; returns
// the place code of the failure, or 0.
unsigned short scale_fonts(Fonts &f, const QFont &base, QWidget *window, int w, int h)
{
    QScreen *screen = window ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return place_code(2, 93);
    const QRect area = screen->availableGeometry();
    if (area.width() <= 0 || area.height() <= 0)
        return place_code(2, 177);

    const QString mono = mono_family();
    const auto width = std::uint64_t(area.width());
    const auto height = std::uint64_t(area.height());
    const std::uint32_t u = large_scale_factor(width, height, std::uint64_t(w), std::uint64_t(h));
    const std::uint32_t v = small_scale_factor(width, height, std::uint64_t(w), std::uint64_t(h));
    const int points = base.pointSize();
    if (points >= 1) {
        if (points >= max_base_size)
            return place_code(2, 109);
        f.main = sized_by_points(base, base.family(), scaled_size(points, u));
        f.mono = sized_by_points(base, mono, scaled_size(points, u));
        f.small_main = sized_by_points(base, base.family(), scaled_size(points, v));
        f.small_mono = sized_by_points(base, mono, scaled_size(points, v));
    } else if (points < 0) {
        const int pixels = base.pixelSize();
        if (pixels < 0)
            return place_code(2, 57);
        if (pixels >= max_base_size)
            return place_code(2, 110);
        f.main = sized_by_pixels(base, base.family(), scaled_size(pixels, u));
        f.mono = sized_by_pixels(base, mono, scaled_size(pixels, u));
        f.small_main = sized_by_pixels(base, base.family(), scaled_size(pixels, v));
        f.small_mono = sized_by_pixels(base, mono, scaled_size(pixels, v));
    } else {
        return place_code(2, 58);
    }

    const QFontMetrics main_metrics(f.main);
    if (!main_metrics.inFont(QLatin1Char('0')))
        return place_code(2, 178);
    const int main_w = main_metrics.horizontalAdvance(QLatin1Char('0'));
    const int main_h = main_metrics.lineSpacing();
    if (!measurable(main_w) || !measurable(main_h))
        return place_code(2, 161);
    f.digit_width = main_w;
    f.line_height = main_h;
    return 0;
}

} // namespace

const QFont &font_main()
{
    return fonts().main;
}

const QFont &font_mono()
{
    return fonts().mono;
}

const QFont &font_small()
{
    return fonts().small_main;
}

const QFont &font_small_mono()
{
    return fonts().small_mono;
}

int digit_width()
{
    return fonts().digit_width;
}

int line_height()
{
    return fonts().line_height;
}

void reset_fonts()
{
    fonts() = Fonts();
}

int max_digit_width(const QFontMetrics &metrics)
{
    int widest = 0;
    for (char c = '0'; c <= '9'; ++c)
        widest = std::max(widest, metrics.horizontalAdvance(QLatin1Char(c)));
    return widest;
}

void hex_digit_widths(const QFontMetrics &metrics, int &digits, int &hex_digits)
{
    digits = max_digit_width(metrics);
    hex_digits = digits;
    for (char c = 'A'; c <= 'F'; ++c) {
        hex_digits = std::max(hex_digits, metrics.horizontalAdvance(QLatin1Char(c)));
        hex_digits = std::max(hex_digits, metrics.horizontalAdvance(QLatin1Char(char(c - 'A' + 'a'))));
    }
}

std::uint32_t large_scale_factor(std::uint64_t width, std::uint64_t height, std::uint64_t digit_w,
                                 std::uint64_t line_h)
{
    return scale_factor(width * 5833 / digit_w, height * 25000 / line_h, 1800000);
}

std::uint32_t small_scale_factor(std::uint64_t width, std::uint64_t height, std::uint64_t digit_w,
                                 std::uint64_t line_h)
{
    return scale_factor(width * 4375 / digit_w, height * 18750 / line_h, 1600000);
}

int scaled_size(std::int64_t size, std::uint32_t factor)
{
    return static_cast<int>(size * factor / unit_factor);
}

QString choose_mono_family(QStringList families, const std::function<bool(const QString &)> &qualifies)
{
    std::sort(families.begin(), families.end(), [](const QString &a, const QString &b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    QString chosen;
    int best_priority = 255;
    int f = 0;
    std::size_t t = 0;
    while (f < families.size() && t < std::size(preferred_families)) {
        const Preferred_family &entry = preferred_families[t];
        switch (match_name(families.at(f), entry.name)) {
        case Name_match::prefix:
            if (entry.priority < best_priority && qualifies(families.at(f))) {
                chosen = families.at(f);
                best_priority = entry.priority;
            }
            ++f;
            break;
        case Name_match::family_below:
            ++f;
            break;
        case Name_match::family_above:
            ++t;
            break;
        }
    }
    return chosen;
}

void init_fonts(QWidget *window)
{
    Fonts &f = fonts();
    if (f.initialised)
        return;
    f.initialised = true;

    const QFont base = window ? QApplication::font(window) : QApplication::font();
    const QFontMetrics base_metrics(base);
    if (!base_metrics.inFont(QLatin1Char('0'))) {
        log_unexpected(place_code(2, 178));
        use_base_font(f, base, default_digit_width, default_line_height);
        return;
    }
    const int w = base_metrics.horizontalAdvance(QLatin1Char('0'));
    const int h = base_metrics.lineSpacing();
    if (!measurable(w) || !measurable(h)) {
        log_unexpected(place_code(2, 179));
        use_base_font(f, base, default_digit_width, default_line_height);
        return;
    }
    if (const unsigned short failure = scale_fonts(f, base, window, w, h)) {
        log_unexpected(failure);
        use_base_font(f, base, w, h);
        return;
    }
    QApplication::setFont(f.main);
    QToolTip::setFont(f.small_main);
}
