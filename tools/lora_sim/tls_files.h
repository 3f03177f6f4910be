#pragma once

// Loading a server certificate and its private key for the simulator's wss:// mode.

#include <QSslConfiguration>
#include <QString>

#include <optional>

// Reads a PEM certificate and a PEM private key (RSA or EC) into a server-side TLS configuration
// that asks nothing of the client. Returns nothing and sets *error when a file cannot be used.
std::optional<QSslConfiguration> load_tls_configuration(const QString &cert_file, const QString &key_file,
                                                        QString *error);
