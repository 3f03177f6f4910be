// Speed of reading string parameters with the UTF-8 text parser, next to QString::fromUtf8
// over the same bytes. Rounds alternate the two; times are the CPU time of this thread.
// Prints the medians in MB/s with their quartiles, and the median of the ratios within
// one round.
#include "parser/utf8_text_parser.h"

#include "base/err.h"
#include "base/log.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

class Mem_parser final : public Utf8_text_parser {
public:
    Err make_error(const QString &message) override { return Err(message); }
};

// About ten megabytes of parameters with ASCII and Cyrillic literals, escapes and comments.
QByteArray make_text()
{
    const char *const lines[] = {
        "# Параметры подключения к серверу\n",
        "ws_url = \"wss://lora.example.test:8002/api/ws\"\n",
        "description = \"Счётчик электроэнергии на подстанции №12, ввод 2\" // справка\n",
        "label = \"pump \\\"north\\\" \\x41\\u0416\\101\" \"продолжение\"\n",
        "path = \"C:\\\\data\\\\modems\\\\файл.cfg\"\n",
        "note = \"The quick brown fox jumps over the lazy dog 0123456789\"\n",
    };
    QByteArray text;
    text.reserve(10 * 1024 * 1024 + 256);
    for (int i = 0; text.size() < 10 * 1024 * 1024; ++i)
        text += lines[i % 6];
    return text;
}

// Names and "=" are stepped over by hand: only blanks, comments and literals are timed work.
std::size_t parse(const QByteArray &text)
{
    Mem_parser p;
    p.begin_text(text.constData());
    std::size_t chars = 0;
    for (;;) {
        p.skip_spaces();
        const char c = *p.cur;
        if (c == 0)
            return chars;
        if (c == '"') {
            chars += static_cast<std::size_t>(p.read_string().size());
        } else {
            const char *q = p.cur;
            do
                ++q;
            while ((*q >= 'a' && *q <= 'z') || *q == '_' || *q == '=');
            p.cur = q;
        }
    }
}

double thread_seconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

double quartile(std::vector<double> v, int q)
{
    std::sort(v.begin(), v.end());
    return v[(v.size() - 1) * q / 4];
}

} // namespace

int main()
{
    set_log_file_name("/dev/null");
    const QByteArray text = make_text();
    const double megabytes = text.size() / 1e6;
    const int runs = 15;

    std::vector<double> parser_rates;
    std::vector<double> qt_rates;
    std::vector<double> ratios;
    std::size_t sink = 0;
    for (int i = 0; i < runs; ++i) {
        double parser_rate = 0;
        double qt_rate = 0;
        for (int k = 0; k < 2; ++k) {
            const double start = thread_seconds();
            if ((i + k) % 2 == 0) {
                sink += parse(text);
                parser_rate = megabytes / (thread_seconds() - start);
            } else {
                sink += static_cast<std::size_t>(QString::fromUtf8(text).size());
                qt_rate = megabytes / (thread_seconds() - start);
            }
        }
        parser_rates.push_back(parser_rate);
        qt_rates.push_back(qt_rate);
        ratios.push_back(parser_rate / qt_rate);
    }
    std::printf("text: %.1f MB, %d rounds (checksum %zu)\n", megabytes, runs, sink);
    std::printf("skip_spaces + read_string: %7.1f MB/s (quartiles %.1f - %.1f)\n", quartile(parser_rates, 2),
                quartile(parser_rates, 1), quartile(parser_rates, 3));
    std::printf("QString::fromUtf8:         %7.1f MB/s (quartiles %.1f - %.1f)\n", quartile(qt_rates, 2),
                quartile(qt_rates, 1), quartile(qt_rates, 3));
    std::printf("ratio parser / fromUtf8:   %7.2f (quartiles %.2f - %.2f)\n", quartile(ratios, 2), quartile(ratios, 1),
                quartile(ratios, 3));
    return 0;
}
