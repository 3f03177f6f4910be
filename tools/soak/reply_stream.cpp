#include "soak/reply_stream.h"

#include <algorithm>

namespace {

int common_prefix(const QByteArray &a, const QByteArray &b)
{
    const int n = std::min(a.size(), b.size());
    return int(std::mismatch(a.begin(), a.begin() + n, b.begin()).first - a.begin());
}

}  // namespace

void Reply_stream::expect(const QByteArray &reply)
{
    expected = reply;
}

void Reply_stream::tolerate_late(const QByteArray &reply)
{
    late = reply;
}

void Reply_stream::add(const QByteArray &bytes)
{
    buffer.append(bytes);
}

Reply_stream::Verdict Reply_stream::check()
{
    if (!late.isEmpty() && !buffer.isEmpty()) {
        if (buffer.startsWith(late)) {
            buffer.remove(0, late.size());
            late.clear();
            ++late_count;
        } else if (common_prefix(buffer, late) == buffer.size()
                   && !(awaiting() && buffer.startsWith(expected))) {
            return Verdict::waiting;  // could still become the late reply
        } else {
            late.clear();
        }
    }
    if (expected.isEmpty())
        return Verdict::waiting;
    const int agreed = common_prefix(buffer, expected);
    if (agreed < std::min(buffer.size(), expected.size()))
        return Verdict::wrong;
    if (buffer.size() < expected.size())
        return Verdict::waiting;
    buffer.remove(0, expected.size());
    expected.clear();
    return Verdict::passed;
}

QByteArray Reply_stream::wrong_bytes() const
{
    return buffer.mid(common_prefix(buffer, expected));
}

void Reply_stream::clear()
{
    buffer.clear();
    expected.clear();
    late.clear();
}
