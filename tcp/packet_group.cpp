#include "tcp/packet_group.h"

#include "base/log.h"

#include <QCoreApplication>

#include <new>

namespace {

struct Header {
    int size;
    unsigned total_size;
    unsigned data_size;
    unsigned number;
    unsigned total_packets;
};

bool is_data_packet(char type)
{
    return (static_cast<unsigned char>(type) & ~0x10u) == 0x03;
}

int header_size_of(char type)
{
    return type == 0x13 ? 7 : 6;
}

unsigned byte_at(const QByteArray &packet, int i)
{
    return static_cast<unsigned char>(packet[i]);
}

// The packet is at least as long as its header.
Header header_of(const QByteArray &packet)
{
    const int at = packet[0] == 0x13 ? 1 : 0;
    return Header{header_size_of(packet[0]), byte_at(packet, at + 1) | byte_at(packet, at + 2) << 8,
                  byte_at(packet, at + 3), byte_at(packet, at + 4), byte_at(packet, at + 5)};
}

} // namespace

Packet_group::Packet_group(Eui eui, Group_events *events) : eui(eui), events(events)
{
}

void Packet_group::reset()
{
    discard();
    group_started = false;
    group_delivered = false;
    fcnt_filter.reset();
}

void Packet_group::discard()
{
    for (QByteArray &p : packets)
        p.clear();
    packet_has_fcnt.reset();
    group_received = 0;
}

bool Packet_group::belongs_elsewhere(unsigned number, std::uint32_t fcnt) const
{
    for (unsigned k = 0; k < group_packets; ++k) {
        if (!packet_has_fcnt[k])
            continue;
        if (k == number)
            return true;
        // Between two packets of one group the counter rises by at least their distance in
        // numbers, and by fewer than the group's packet count more than that, for uplinks of
        // other ports sent in between. The next group starts after all of this one's counters,
        // so a packet of another group is always further off. Counters are compared modulo
        // 2^32, so a counter that wraps inside a group still counts as rising.
        const bool after = k < number;
        const std::uint32_t rise = after ? fcnt - packet_fcnt[k] : packet_fcnt[k] - fcnt;
        const std::uint32_t steps = after ? number - k : k - number;
        if (rise < steps || rise - steps >= group_packets)
            return true;
    }
    return false;
}

// The group in progress has lost a packet. Returns true when the client must go: it has had
// a group, so the one abandoned leaves a gap in its data. Before that, the client lost
// nothing it could have had (it came in the middle of a group, or its first reply was cut).
bool Packet_group::abandon(unsigned number, std::uint32_t fcnt)
{
    static const QString text = QCoreApplication::translate(
        "log", "Неполная группа из %1 «пакетов с данными от внешнего устройства, полученными по интерфейсу "
               "RS-232 или RS-485» от радиомодема с EUI=0x%2 отброшена: из неё получено пакетов: %3, а пакет "
               "номер %4 (fcnt=%5) относится уже к другой группе.");
    log_line(text.arg(group_packets).arg(format_eui(eui)).arg(group_received).arg(number).arg(fcnt));
    discard();
    if (events)
        events->group_abandoned();
    return group_delivered;
}

Packet_group::Outcome Packet_group::fault()
{
    // Once the client has had data from this modem, a lost group would leave a gap in
    // its stream that it cannot notice; ending its connection is the honest answer.
    discard();
    return group_started ? Outcome::lost : Outcome::dropped;
}

Packet_group::Outcome Packet_group::add(const QByteArray &packet, bool has_fcnt, std::uint32_t fcnt,
                                        QByteArray &joined)
{
    if (packet.isEmpty()) {
        static const QString text = QCoreApplication::translate(
            "log", "От сервера QUVO-LoRa пришло сообщение \"rx\" с пустым полем \"data\" (EUI=0x%1). "
                   "Сообщение игнорируется.");
        log_line(text.arg(format_eui(eui)));
        return Outcome::ignored;
    }
    if (!is_data_packet(packet[0]))
        return Outcome::ignored;
    // Recorded before the header is checked, so a repeat of a faulty packet is silent too.
    if (has_fcnt) {
        switch (fcnt_filter.check(fcnt, packet)) {
        case Fcnt_filter::Verdict::repeat:
            if (events)
                events->repeat_dropped();
            return Outcome::ignored;
        case Fcnt_filter::Verdict::restart: {
            static const QString text = QCoreApplication::translate(
                "log", "Радиомодем с EUI=0x%1 начал отсчёт номеров кадров заново: пакет с fcnt=%2 отличается от "
                       "ранее полученного пакета с тем же fcnt. Запомненные номера кадров забыты, пакет "
                       "обрабатывается.");
            log_line(text.arg(format_eui(eui)).arg(fcnt));
            if (events)
                events->restart_heard();
            // What was stored may be of the group the restarted modem is sending now (reordered
            // packets whose counters passed the remembered ones): the counters tell, as for any
            // packet, and a group counted before the restart is abandoned there.
            break;
        }
        case Fcnt_filter::Verdict::fresh:
            break;
        }
    }
    const Outcome stored = store(packet, has_fcnt, fcnt);
    if (stored != Outcome::waiting || group_received < group_packets)
        return stored;
    return join(header_size_of(packet[0]), joined);
}

Packet_group::Outcome Packet_group::store(const QByteArray &packet, bool has_fcnt, std::uint32_t fcnt)
{
    const QString eui_text = format_eui(eui);
    const int length = packet.size();
    if (length < header_size_of(packet[0])) {
        static const QString text = QCoreApplication::translate(
            "log", "Неправильный «пакет с данными от внешнего устройства, полученными по интерфейсу RS-232 или "
                   "RS-485» от радиомодема с EUI=0x%1: фактическая длина пакета равна %2 байтов, т.е., в нём не "
                   "помещается даже заголовок.");
        log_line(text.arg(eui_text).arg(length));
        return fault();
    }
    const Header h = header_of(packet);
    if (h.data_size != unsigned(length - h.size)) {
        static const QString text = QCoreApplication::translate(
            "log", "Неправильный «пакет с данными от внешнего устройства, полученными по интерфейсу RS-232 или "
                   "RS-485» от радиомодема с EUI=0x%1: поле «размер данных в данном пакете» содержит значение %2, "
                   "а фактически поле «данные» имеет размер %3 байтов.");
        log_line(text.arg(eui_text).arg(h.data_size).arg(length - h.size));
        return fault();
    }
    static const QString number_text = QCoreApplication::translate(
        "log", "Неправильный «пакет с данными от внешнего устройства, полученными по интерфейсу RS-232 или RS-485» "
               "от радиомодема с EUI=0x%1: в пакете указан номер %2 (считая с нуля), хотя в этом же пакете "
               "сказано, что общее количество пакетов равно %3.");
    if (group_received != 0 && has_fcnt && belongs_elsewhere(h.number, fcnt) && abandon(h.number, fcnt))
        return Outcome::lost;
    if (group_received == 0) {
        group_size = static_cast<std::uint16_t>(h.total_size);
        group_packets = static_cast<std::uint8_t>(h.total_packets);
        if (h.number >= h.total_packets) {
            log_line(number_text.arg(eui_text).arg(h.number).arg(h.total_packets));
            return fault();
        }
        group_started = true;
    } else {
        if (h.total_size != group_size) {
            static const QString text = QCoreApplication::translate(
                "log", "Неправильный «пакет с данными от внешнего устройства, полученными по интерфейсу RS-232 или "
                       "RS-485» от радиомодема с EUI=0x%1: поле «общий размер полученных через интерфейс данных» "
                       "содержит значение %2, а в ранее полученных пакетах группы оно содержало значение %3. "
                       "Номер пакета (указанный в заголовке пакета): %4.");
            log_line(text.arg(eui_text).arg(h.total_size).arg(group_size).arg(h.number));
            return fault();
        }
        if (h.total_packets != group_packets) {
            static const QString text = QCoreApplication::translate(
                "log", "Неправильный «пакет с данными от внешнего устройства, полученными по интерфейсу RS-232 или "
                       "RS-485» от радиомодема с EUI=0x%1: поле «всего пакетов» содержит значение %2, а в ранее "
                       "полученных пакетах группы оно содержало значение %3. Номер пакета (указанный в заголовке "
                       "пакета): %4.");
            log_line(text.arg(eui_text).arg(h.total_packets).arg(group_packets).arg(h.number));
            return fault();
        }
        if (h.number >= h.total_packets) {
            log_line(number_text.arg(eui_text).arg(h.number).arg(h.total_packets));
            return fault();
        }
        if (!packets[h.number].isEmpty()) {
            static const QString text = QCoreApplication::translate(
                "log", "Неправильный «пакет с данными от внешнего устройства, полученными по интерфейсу RS-232 или "
                       "RS-485» от радиомодема с EUI=0x%1: в пакете указан номер %2, но пакет с таким номером в "
                       "этой группе пакетов уже был.");
            log_line(text.arg(eui_text).arg(h.number));
            return fault();
        }
    }
    ++group_received;
    packets[h.number] = packet;
    packet_has_fcnt[h.number] = has_fcnt;
    packet_fcnt[h.number] = fcnt;
    return Outcome::waiting;
}

Packet_group::Outcome Packet_group::too_much_data()
{
    static const QString text = QCoreApplication::translate(
        "log", "Неправильная группа из %1 «пакетов с данными от внешнего устройства, полученными по интерфейсу "
               "RS-232 или RS-485» от радиомодема с EUI=0x%2: во всех пакетах группы поле «общий размер "
               "полученных через интерфейс данных» содержало значение %3, но фактически в этой группе содержится "
               "больше данных.");
    log_line(text.arg(group_packets).arg(format_eui(eui)).arg(group_size));
    return fault();
}

Packet_group::Outcome Packet_group::join(int header_size, QByteArray &joined)
{
    joined.clear();
    if (group_size == 0) {
        for (int i = 0; i < group_packets; ++i) {
            if (packets[i].size() > header_size)
                return too_much_data();
            if (packets[i].size() < header_size) {
                log_unexpected(place_code(8, 91));
                return fault();
            }
            packets[i].clear();
        }
        return completed();
    }
    try {
        joined.reserve(group_size);
    } catch (const std::bad_alloc &) {
        static const QString text = QCoreApplication::translate(
            "log", "Не удалось выделить %1 байтов памяти для формирования отправляемого клиенту сообщения.");
        log_line(text.arg(group_size));
        return fault();
    }
    for (int i = 0; i < group_packets; ++i) {
        QByteArray &p = packets[i];
        // Only a group mixing both packet types can get here.
        if (p.size() < header_size) {
            joined.clear();
            log_unexpected(place_code(8, 38));
            return fault();
        }
        const int payload = p.size() - header_size;
        if (payload > group_size - joined.size()) {
            joined.clear();
            return too_much_data();
        }
        joined.append(p.constData() + header_size, payload);
        p.clear();
    }
    if (joined.size() < group_size) {
        static const QString text = QCoreApplication::translate(
            "log", "Неправильная группа из %1 «пакетов с данными от внешнего устройства, полученными по "
                   "интерфейсу RS-232 или RS-485» от радиомодема с EUI=0x%2: во всех пакетах группы поле «общий "
                   "размер полученных через интерфейс данных» содержало значение %3, но фактически в этой группе "
                   "содержится на %4 байтов меньше.");
        log_line(text.arg(group_packets).arg(format_eui(eui)).arg(group_size).arg(group_size - joined.size()));
        joined.clear();
        return fault();
    }
    return completed();
}

Packet_group::Outcome Packet_group::completed()
{
    packet_has_fcnt.reset();
    group_received = 0;
    group_delivered = true;
    return Outcome::complete;
}
