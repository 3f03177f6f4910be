#include "tcp/fcnt_filter.h"

Fcnt_filter::Fcnt_filter() = default;

std::uint32_t Fcnt_filter::hash_of(const QByteArray &packet)
{
    // FNV-1a: the same on every platform and toolkit version.
    std::uint32_t h = 2166136261u;
    for (const char c : packet) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h;
}

int Fcnt_filter::home_of(std::uint32_t fcnt)
{
    return int((fcnt * 2654435761u) >> 21) & (index_size - 1);
}

int Fcnt_filter::find(std::uint32_t fcnt) const
{
    for (int s = home_of(fcnt);; s = (s + 1) & (index_size - 1)) {
        if (memory->index[s] == empty)
            return -1;
        if (memory->ring[memory->index[s]].fcnt == fcnt)
            return s;
    }
}

void Fcnt_filter::insert(std::uint32_t fcnt, std::uint32_t hash)
{
    memory->ring[ring_pos] = Entry{fcnt, hash};
    int s = home_of(fcnt);
    while (memory->index[s] != empty)
        s = (s + 1) & (index_size - 1);
    memory->index[s] = std::uint16_t(ring_pos);
}

// Backward-shift deletion keeps every probe chain unbroken without tombstones.
void Fcnt_filter::erase_at(int slot)
{
    int hole = slot;
    for (int s = (hole + 1) & (index_size - 1); memory->index[s] != empty; s = (s + 1) & (index_size - 1)) {
        const int home = home_of(memory->ring[memory->index[s]].fcnt);
        // The entry may fill the hole unless its home lies cyclically in (hole, s].
        const bool home_after_hole = hole <= s ? (home > hole && home <= s) : (home > hole || home <= s);
        if (!home_after_hole) {
            memory->index[hole] = memory->index[s];
            hole = s;
        }
    }
    memory->index[hole] = empty;
}

void Fcnt_filter::remember(std::uint32_t fcnt, std::uint32_t hash)
{
    if (ring_used < capacity) {
        ++ring_used;
    } else {
        if (ring_pos == capacity)
            ring_pos = 0;
        erase_at(find(memory->ring[ring_pos].fcnt));
    }
    insert(fcnt, hash);
    ++ring_pos;
}

Fcnt_filter::Verdict Fcnt_filter::check(std::uint32_t fcnt, const QByteArray &packet)
{
    const std::uint32_t hash = hash_of(packet);
    if (!memory) {
        memory = std::make_unique<Memory>();
        memory->index.fill(empty);
    }
    const int slot = find(fcnt);
    if (slot < 0) {
        remember(fcnt, hash);
        return Verdict::fresh;
    }
    if (memory->ring[memory->index[slot]].hash == hash)
        return Verdict::repeat;
    reset();
    remember(fcnt, hash);
    return Verdict::restart;
}

void Fcnt_filter::reset()
{
    if (memory)
        memory->index.fill(empty);
    ring_pos = 0;
    ring_used = 0;
}
