#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>
#include <memory>

// Remembers the last 1000 distinct frame counters of one modem, each with a hash of the
// packet it came with, so that a packet the network server delivers twice reaches the
// client once, while a modem that has restarted and counts from the start again is heard.
// Its fixed-size storage (12 KB) is taken at the modem's first packet, as most modems of a
// large network are silent most of the time; nothing more is allocated, whatever the traffic.
class Fcnt_filter {
public:
    static constexpr int capacity = 1000;

    enum class Verdict {
        fresh,   // not among the remembered counters; now remembered
        repeat,  // the same counter with the same bytes
        restart  // the same counter with other bytes: everything else is forgotten, this one kept
    };

    Fcnt_filter();

    Verdict check(std::uint32_t fcnt, const QByteArray &packet);
    void reset();

    static std::uint32_t hash_of(const QByteArray &packet);

private:
    static constexpr int index_size = 2048;  // a power of two, under half full at most
    static constexpr std::uint16_t empty = 0xFFFF;

    struct Entry {
        std::uint32_t fcnt;
        std::uint32_t hash;
    };

    static int home_of(std::uint32_t fcnt);
    int find(std::uint32_t fcnt) const;
    void insert(std::uint32_t fcnt, std::uint32_t hash);
    void erase_at(int slot);
    void remember(std::uint32_t fcnt, std::uint32_t hash);

    struct Memory {
        std::array<Entry, capacity> ring;        // in order of recording
        std::array<std::uint16_t, index_size> index;  // open addressing into ring; empty = unused
    };

    std::unique_ptr<Memory> memory;
    int ring_pos = 0;
    int ring_used = 0;
};
