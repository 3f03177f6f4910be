#include "link/eui_sort.h"

#include <array>
#include <utility>
#include <vector>

namespace {

struct Key {
    quint64 eui;
    int at;
};

}

void sort_by_eui(QVector<Server_device> &devices)
{
    const int n = devices.size();
    if (n < 2)
        return;
    std::vector<Key> keys(static_cast<std::size_t>(n));
    std::vector<Key> spare(keys.size());
    quint64 differing = 0;
    const quint64 first = devices.at(0).eui;
    for (int i = 0; i < n; ++i) {
        keys[std::size_t(i)] = {devices.at(i).eui, i};
        differing |= devices.at(i).eui ^ first;
    }
    // Least significant byte first: each pass keeps the order of the one before among equals.
    for (int shift = 0; shift < 64; shift += 8) {
        if (((differing >> shift) & 0xFF) == 0)
            continue;
        std::array<int, 257> starts{};
        for (const Key &k : keys)
            ++starts[((k.eui >> shift) & 0xFF) + 1];
        for (std::size_t b = 1; b < starts.size(); ++b)
            starts[b] += starts[b - 1];
        for (const Key &k : keys)
            spare[std::size_t(starts[(k.eui >> shift) & 0xFF]++)] = k;
        keys.swap(spare);
    }
    QVector<Server_device> sorted;
    sorted.reserve(n);
    for (const Key &k : keys)
        sorted.append(std::move(devices[k.at]));
    devices.swap(sorted);
}
