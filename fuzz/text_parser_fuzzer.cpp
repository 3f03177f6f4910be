// Drives the UTF-8 text parser over arbitrary bytes: blanks, strings, numbers and hex
// until the end of the text or the first error.
#include "parser/utf8_text_parser.h"

#include "base/err.h"
#include "fuzz/quiet_log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

class Mem_parser final : public Utf8_text_parser {
public:
    Err make_error(const QString &message) override { return Err(message); }
};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    quiet_log();

    // The text ends at its first zero byte; the buffer ends right after it, so the
    // address sanitizer catches any read past the terminating zero.
    const std::size_t length = strnlen(reinterpret_cast<const char *>(data), size);
    std::unique_ptr<char[]> text(new char[length + 1]);
    std::memcpy(text.get(), data, length);
    text[length] = 0;
    const char *const end = text.get() + length;

    Mem_parser p;
    try {
        p.begin_text(text.get());
        for (unsigned step = 0;; ++step) {
            check(p.line_start <= p.cur && p.cur <= end);
            p.skip_spaces();
            check(p.line_start <= p.cur && p.cur <= end);
            const char c = *p.cur;
            if (c == 0)
                break;
            if (c == '"') {
                p.read_string();
            } else if (c >= '0' && c <= '9') {
                switch (step % 3) {
                case 0:
                    p.read_uint16(60000);
                    break;
                case 1:
                    p.read_uint32(1, 9999);
                    break;
                default:
                    p.read_hex64();
                    break;
                }
            } else if (std::strchr("abcdefABCDEF", c)) {
                p.read_hex64();
            } else {
                p.expect_char(c);
            }
            check(p.line_start <= p.cur && p.cur <= end);
        }
    } catch (const Err &) {
        check(p.line_start <= p.cur && p.cur <= end);
    }
    // Anything else thrown escapes and is reported as a crash.
    return 0;
}
