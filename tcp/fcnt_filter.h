#pragma once

#include <array>
#include <cstdint>
#include <unordered_set>

// Remembers the last 1000 distinct frame counters of one modem, so that a packet
// the network server delivers twice reaches the client once.
class Fcnt_filter {
public:
    static constexpr int capacity = 1000;

    Fcnt_filter();

    // True when fcnt was seen among the remembered values; otherwise it is
    // remembered (evicting the oldest when full) and false is returned.
    bool is_repeat(std::uint32_t fcnt);
    void reset();

private:
    std::unordered_set<std::uint32_t> seen_fcnt;
    std::array<std::uint32_t, capacity> fcnt_ring{};
    int ring_pos = 0;
    std::uint16_t ring_free = capacity;
};
