#pragma once

// A simulated radio modem: what the simulated network server lists and how the modem answers downlinks.

#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <optional>

enum class Modem_behaviour {
    echo,   // sends the downlink payload (the bytes after 0x04) back as one uplink packet group
    silent, // listed and accepts downlinks, but never sends anything
    modbus  // takes each downlink payload as an RTU frame to its slave (modbus_slave.h) and sends
            // the slave's reply back as one uplink packet group, delivered as an echo would be
};

const char *behaviour_name(Modem_behaviour behaviour);

// How an echo modem delivers its uplink packet group.
struct Echo_options {
    int packet_size = 40;       // payload bytes per packet, 1..255
    quint8 packet_type = 0x03;  // 0x03 (6-byte header) or 0x13 (7-byte header)
    bool shuffle = false;       // packets of a group arrive in a scrambled order; each keeps the fcnt
                                // it was sent with, rising with the packet number
    bool duplicate = false;     // every packet is delivered twice with the same fcnt
    bool repeat_copy = false;   // every packet is followed by a copy whose type contains "REPEAT"
                                // (with the fcnt of the packet it repeats)
    int lose = -1;              // the packet of this number in the modem's first group is lost on
                                // the radio (its fcnt is spent all the same); -1: none
    int restart_every = 0;      // after every this many groups the modem restarts and counts its
                                // fcnt from the first value again; 0: never
    int delay_ms = 0;           // pause between the downlink reply and the first uplink packet
    bool early = false;         // the uplink is under way as soon as the downlink arrives, before
                                // its reply (with a delayed reply it comes while the reply is awaited)
    int port = 2;               // LoRa port of the uplink "rx" messages
};

// The slave behind a modbus modem.
struct Modbus_options {
    int unit = 1;           // 1..247
    int registers = 100;    // holding registers from address 0, all starting at 0
    bool bad_crc = false;   // every reply is preceded by a copy with a corrupted CRC, in a group of its own
    bool mute = false;      // executes requests but never answers
};

struct Sim_modem {
    quint64 eui = 0;
    QString name;               // a null name leaves "devName" out of the device list
    Modem_behaviour behaviour = Modem_behaviour::echo;
    Echo_options echo;          // how the uplink is delivered, for an echo or a modbus modem
    quint32 first_fcnt = 1;     // fcnt of the first uplink packet
    Modbus_options modbus;
};

// Reads "EUI:name:behaviour[,option...]" where EUI is 16 hexadecimal digits, the name may contain
// colons (the behaviour follows the last one) and the options are size=N, type=03|13, shuffle,
// dup, repeat, early, delay=MS, port=N, fcnt=N, lose=N, restart=G, and for a modbus modem unit=N,
// registers=N, badcrc, mute. Returns nothing and sets *error on a bad text.
std::optional<Sim_modem> parse_modem(const QString &text, QString *error);

// Reads one modem per line in the form of parse_modem; blank lines and lines starting with '#' are skipped.
std::optional<QVector<Sim_modem>> read_modems_file(const QString &file_name, QString *error);

// 16 uppercase hexadecimal digits, as the server writes EUIs.
QString eui_text(quint64 eui);
