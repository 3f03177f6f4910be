#pragma once

// What a soak run counts. Lost, corrupted and mixed replies and unexplained closes are failures;
// replies lost to an injected fault and late replies are not (see README).

#include <QMap>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

struct Soak_tally {
    qint64 sent = 0;             // requests written to the program
    qint64 passed = 0;           // replies whole, byte-exact and in order
    qint64 late = 0;             // a request's whole reply that reached the client's next connection first
    qint64 lost_to_faults = 0;   // no reply on a connection that a fault had doomed
    qint64 lost = 0;             // no reply, and no fault to explain it
    qint64 corrupted = 0;        // a byte differs from the awaited reply and belongs to no other request
    qint64 mixed = 0;            // the reply holds bytes of another request
    qint64 unexplained_closes = 0;  // the program closed a connection that no fault had doomed
    qint64 stuck_clients = 0;    // clients that could not connect again in time
    // Modbus masters: a reply that is not its request's (unknown transaction, other unit or
    // function, other values) or a stream that is no MBAP; exception replies by code, and those
    // that no fault explains.
    qint64 mismatched = 0;
    QMap<int, qint64> exceptions;
    qint64 unexcused_exceptions = 0;
    qint64 bytes_sent = 0;
    qint64 bytes_received = 0;
    QVector<qint32> latencies_us;  // of passed replies
    QStringList problems;          // the first few failures, described

    void note(const QString &problem)
    {
        if (problems.size() < 20)
            problems.append(problem);
    }

    qint64 settled() const { return passed + lost_to_faults + lost + corrupted + mixed + mismatched + unexcused_exceptions; }
    qint64 failed() const
    {
        return lost + corrupted + mixed + mismatched + unexcused_exceptions + unexplained_closes + stuck_clients;
    }
};
