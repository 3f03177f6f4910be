// Speed of reading string parameters with the UTF-8 text parser, next to QString::fromUtf8
// over the same bytes. Prints medians of several runs in MB/s and their ratio.
#include "parser/utf8_text_parser.h"

#include "app/err.h"
#include "app/log.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <cstdio>
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
            do
                ++p.cur;
            while ((*p.cur >= 'a' && *p.cur <= 'z') || *p.cur == '_' || *p.cur == '=');
        }
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main()
{
    set_log_file_name("/dev/null");
    const QByteArray text = make_text();
    const double megabytes = text.size() / 1e6;
    const int runs = 9;

    std::vector<double> parser_rates;
    std::vector<double> qt_rates;
    std::size_t sink = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        sink += parse(text);
        parser_rates.push_back(megabytes / (timer.nsecsElapsed() / 1e9));

        timer.start();
        sink += static_cast<std::size_t>(QString::fromUtf8(text).size());
        qt_rates.push_back(megabytes / (timer.nsecsElapsed() / 1e9));
    }
    const double parser_rate = median(parser_rates);
    const double qt_rate = median(qt_rates);
    std::printf("text: %.1f MB, %d runs (checksum %zu)\n", megabytes, runs, sink);
    std::printf("skip_spaces + read_string: %.1f MB/s (median)\n", parser_rate);
    std::printf("QString::fromUtf8:         %.1f MB/s (median)\n", qt_rate);
    std::printf("ratio parser / fromUtf8:   %.2f\n", parser_rate / qt_rate);
    return 0;
}
