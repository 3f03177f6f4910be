#pragma once

#include <QStringList>

#include <cstdint>
#include <functional>

class QFont;
class QFontMetrics;
class QWidget;

// Every window calls this first thing in its construction. The first call,
// whichever window makes it, chooses the program's fonts for the whole process
// from the screen size; later calls do nothing. Main thread only; never throws.
void init_fonts(QWidget *window);

// The fonts and sizes chosen by init_fonts; default fonts, 7 and 16 before it.
const QFont &font_main();
const QFont &font_mono();
const QFont &font_small();
const QFont &font_small_mono();
// Width of the digit "0" and line height of font_main, in pixels.
int digit_width();
int line_height();

// Back to the state before the first init_fonts; for tests.
void reset_fonts();

int max_digit_width(const QFontMetrics &metrics);
// The widest of "0"-"9" and the widest of "0"-"9", "A"-"F", "a"-"f".
void hex_digit_widths(const QFontMetrics &metrics, int &digits, int &hex_digits);

// Scale factors in millionths for a screen area of width x height pixels and a
// base font whose digit is digit_w pixels wide and whose line is line_h high
// (both at least 1). The large one is kept within 1.0 to 1.8, the small one within 1.0 to 1.6.
std::uint32_t large_scale_factor(std::uint64_t width, std::uint64_t height, std::uint64_t digit_w,
                                 std::uint64_t line_h);
std::uint32_t small_scale_factor(std::uint64_t width, std::uint64_t height, std::uint64_t digit_w,
                                 std::uint64_t line_h);

// A font size (points or pixels) times a factor in millionths.
int scaled_size(std::int64_t size, std::uint32_t factor);

// The best family by our preference table among the given ones for which
// qualifies is true; empty when none matches.
QString choose_mono_family(QStringList families, const std::function<bool(const QString &)> &qualifies);
