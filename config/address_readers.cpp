#include "config/address_readers.h"

#include "parser/utf8_file_parser.h"

#include <QCoreApplication>

#include <cstring>

namespace {

QString tr_parser(const char *source)
{
    return QCoreApplication::translate("parser", source);
}

// An address ends at anything else, so that a comma, a prefix or a comment may follow it
// without a blank.
bool in_address(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == ':'
        || c == '%' || c == '_' || c == '-';
}

// Exactly four decimal numbers up to 255. The toolkit's reader would also take "10.1" and
// read "010" as octal, which nobody writes in a list of allowed clients on purpose.
bool parse_ipv4(const char *c, const char *end, quint32 &ip)
{
    ip = 0;
    for (int part = 1;; ++part) {
        const char *const start = c;
        unsigned value = 0;
        while (c != end && *c >= '0' && *c <= '9' && c - start < 3)
            value = value * 10 + unsigned(*c++ - '0');
        if (c == start || value > 255)
            return false;
        ip = ip << 8 | value;
        if (part == 4)
            return c == end;
        if (c == end || *c != '.')
            return false;
        ++c;
    }
}

QHostAddress read_address(Utf8_file_parser &p, const char *message)
{
    const char *end = p.cur;
    while (in_address(*end))
        ++end;
    QHostAddress address;
    quint32 ip4;
    if (std::memchr(p.cur, ':', std::size_t(end - p.cur))) {
        if (!address.setAddress(QString::fromLatin1(p.cur, int(end - p.cur)))
                || address.protocol() != QAbstractSocket::IPv6Protocol)
            address.clear();
    } else if (parse_ipv4(p.cur, end, ip4)) {
        address.setAddress(ip4);
    }
    if (address.isNull())
        p.fail(tr_parser(message));
    p.cur = end;
    return address;
}

QHostAddress network_of(const QHostAddress &address, int prefix_length)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 mask = prefix_length == 0 ? 0 : ~quint32(0) << (32 - prefix_length);
        return QHostAddress(address.toIPv4Address() & mask);
    }
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 0; i < 16; ++i)
        bytes[i] &= quint8(0xFF00 >> qBound(0, prefix_length - 8 * i, 8));
    QHostAddress network(bytes);
    network.setScopeId(address.scopeId());
    return network;
}

// Clients that reach a dual-stack port over IPv4 are matched as IPv4, so a network written
// in the form ::ffff:a.b.c.d (as such peers show in traces) is kept in that form too.
Ip_network unmapped(const Ip_network &network)
{
    static const quint8 mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (network.address.protocol() != QAbstractSocket::IPv6Protocol || network.prefix_length < 96)
        return network;
    const Q_IPV6ADDR bytes = network.address.toIPv6Address();
    if (std::memcmp(bytes.c, mapped_prefix, sizeof mapped_prefix) != 0)
        return network;
    return Ip_network{QHostAddress(network.address.toIPv4Address()), network.prefix_length - 96};
}

Ip_network read_network(Utf8_file_parser &p)
{
    const char *const start = p.cur;
    const QHostAddress address = read_address(p, QT_TRANSLATE_NOOP("parser",
        "неправильное значение параметра «tcp_allow»: ожидается адрес IPv4 или IPv6 без кавычек, за которым "
        "может стоять «/» и длина префикса сети, например 192.168.1.0/24 или ::1/128; адреса в списке "
        "разделяются запятыми."));
    const QString written = QString::fromLatin1(start, int(p.cur - start));
    const std::uint16_t bits = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    int prefix_length = bits;
    if (*p.cur == '/' && p.cur[1] != '/') {
        ++p.cur;
        prefix_length = p.read_uint16(bits);
    }
    // 192.168.1.10/24 may mean one host as well as its network: the file must say which.
    const QHostAddress network = network_of(address, prefix_length);
    if (network != address) {
        p.cur = start;
        p.fail(tr_parser("%1/%2 - не адрес сети: биты адреса после первых %2 должны быть нулевыми (адрес этой "
                         "сети - %3/%2).")
                   .arg(written, QString::number(prefix_length), network.toString()));
    }
    return unmapped(Ip_network{network, prefix_length});
}

} // namespace

QHostAddress read_listen_address(Utf8_file_parser &p)
{
    return read_address(p, QT_TRANSLATE_NOOP("parser",
        "неправильное значение параметра «tcp_listen»: ожидается адрес IPv4 или IPv6 без кавычек, например "
        "127.0.0.1 или ::1."));
}

std::vector<Ip_network> read_allowed_networks(Utf8_file_parser &p)
{
    std::vector<Ip_network> networks;
    for (;;) {
        networks.push_back(read_network(p));
        // Only a comma continues the list; otherwise the value ends here and the caller
        // checks the rest of the line from this very place.
        const char *const end = p.cur;
        const char *const end_line_start = p.line_start;
        const std::uint32_t end_line = p.line;
        p.skip_spaces();
        if (*p.cur != ',') {
            p.cur = end;
            p.line_start = end_line_start;
            p.line = end_line;
            return networks;
        }
        ++p.cur;
        p.skip_spaces();
    }
}
