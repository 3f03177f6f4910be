#include "lora_sim/tls_files.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

namespace {

std::optional<QByteArray> read_file(const QString &file_name, QString *error)
{
    QFile file(file_name);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read \"%1\": %2").arg(file_name, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

}  // namespace

std::optional<QSslConfiguration> load_tls_configuration(const QString &cert_file, const QString &key_file,
                                                        QString *error)
{
    const auto cert_pem = read_file(cert_file, error);
    if (!cert_pem)
        return std::nullopt;
    const auto key_pem = read_file(key_file, error);
    if (!key_pem)
        return std::nullopt;
    const QSslCertificate certificate(*cert_pem, QSsl::Pem);
    if (certificate.isNull()) {
        *error = QStringLiteral("\"%1\" holds no PEM certificate").arg(cert_file);
        return std::nullopt;
    }
    QSslKey key(*key_pem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(*key_pem, QSsl::Ec, QSsl::Pem);
    if (key.isNull()) {
        *error = QStringLiteral("\"%1\" holds no unencrypted PEM RSA or EC private key").arg(key_file);
        return std::nullopt;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(certificate);
    tls.setPrivateKey(key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}
