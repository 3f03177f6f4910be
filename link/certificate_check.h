#pragma once

#include <QList>
#include <QSslError>

class QSslCertificate;
class QSslConfiguration;

// The pinned server certificate (ws_cert) held against what a connection attempt shows:
// first the TLS errors, then the established connection. Every refusal is logged here.
class Certificate_check {
public:
    // For a pinned certificate: makes every server certificate raise TLS errors (no trusted
    // authority), so that on_errors sees it.
    static void prepare(QSslConfiguration &tls);

    // A new connection attempt: nothing accepted yet.
    void start() { accepted = false; }

    // True when the errors are the pinned certificate's own and may be ignored.
    bool on_errors(const QList<QSslError> &errors);

    // True when the established connection may be used: no certificate is pinned, the errors
    // were accepted, or the peer shows the pinned one. Consumes the acceptance.
    bool on_connected(const QSslConfiguration &tls);

private:
    bool accepted = false;
};

// The log entry of a server certificate that is not the pinned one, in the pinned one's format.
void report_cert_mismatch(const QSslCertificate &certificate);
