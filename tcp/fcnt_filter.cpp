#include "tcp/fcnt_filter.h"

Fcnt_filter::Fcnt_filter()
{
    seen_fcnt.reserve(capacity);
}

bool Fcnt_filter::is_repeat(std::uint32_t fcnt)
{
    if (seen_fcnt.count(fcnt))
        return true;
    if (ring_free) {
        --ring_free;
    } else {
        if (ring_pos == capacity)
            ring_pos = 0;
        seen_fcnt.erase(fcnt_ring[ring_pos]);
    }
    fcnt_ring[ring_pos++] = fcnt;
    seen_fcnt.insert(fcnt);
    return false;
}

void Fcnt_filter::reset()
{
    seen_fcnt.clear();
    ring_pos = 0;
    ring_free = capacity;
}
