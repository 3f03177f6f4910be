#pragma once

#include <QElapsedTimer>

// How many more ports may open now: the descriptors left under the process's limit, less a
// headroom kept for the clients of the ports already open (a port nobody can connect to
// serves nobody). Very many where the platform has no limit.
long ports_that_fit();

// Tells of a shortage of descriptors in one log line, at most once a minute however many
// modems and clients it strikes: the limit, how many served modems have no port, and what to
// change. Lives in the exchange thread.
class Descriptor_shortage {
public:
    // After a reconciliation: the served and reachable modems that got no port for want of
    // descriptors (they get one at a later reconciliation, once descriptors are free).
    void modems_without_port(int count);
    // A client could not be accepted for want of descriptors.
    void client_not_accepted();

private:
    void tell();

    int without_port = 0;
    QElapsedTimer since_told;
};
