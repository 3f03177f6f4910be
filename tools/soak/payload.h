#pragma once

// The bytes a soak client sends, and the search that tells a reply mixed with other requests'
// bytes from one that is merely corrupted.

#include <QByteArray>
#include <QHash>
#include <QVector>
#include <QtGlobal>

// Request `request` of client `client`: its length (1..max_length) and every byte follow from the
// three numbers alone, so no two requests of a run share their bytes except by chance.
QByteArray request_payload(quint32 seed, int client, int request, int max_length);

// Recent requests of every client, to recognise bytes that belong to another request.
class Payload_history {
public:
    explicit Payload_history(int kept_per_client = 8);

    void add(int client, int request, const QByteArray &payload);
    // True when `wrong` (bytes that are not what the awaited reply should hold at that place) holds a
    // run of bytes of a known request other than (client, request): the reply is mixed.
    bool belongs_elsewhere(const QByteArray &wrong, int client, int request) const;

private:
    struct Entry {
        int client;
        int request;
        QByteArray payload;
    };
    int kept;
    QHash<int, QVector<Entry>> by_client;
};
