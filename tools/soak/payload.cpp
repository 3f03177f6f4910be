#include "soak/payload.h"

#include <QRandomGenerator>

#include <algorithm>

namespace {

// Enough bytes that a chance match between random payloads is negligible.
constexpr int probe_length = 8;

}  // namespace

QByteArray request_payload(quint32 seed, int client, int request, int max_length)
{
    const quint32 seeds[] = {seed, quint32(client), quint32(request)};
    QRandomGenerator generator(seeds);
    const int length = int(generator.bounded(quint32(max_length))) + 1;
    QByteArray payload(length, Qt::Uninitialized);
    for (char &byte : payload)
        byte = char(generator.generate());
    return payload;
}

Payload_history::Payload_history(int kept_per_client)
    : kept(kept_per_client)
{
}

void Payload_history::add(int client, int request, const QByteArray &payload)
{
    QVector<Entry> &entries = by_client[client];
    entries.append({client, request, payload});
    if (entries.size() > kept)
        entries.removeFirst();
}

bool Payload_history::belongs_elsewhere(const QByteArray &wrong, int client, int request) const
{
    if (wrong.isEmpty())
        return false;
    const QByteArray probe = wrong.left(probe_length);
    for (const QVector<Entry> &entries : by_client) {
        for (const Entry &entry : entries) {
            const bool same = entry.client == client && entry.request == request;
            if (!same && entry.payload.indexOf(probe) >= 0)
                return true;
        }
    }
    return false;
}
