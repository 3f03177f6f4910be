#include "link/certificate_check.h"

#include "base/err.h"
#include "base/log.h"
#include "config/settings.h"

#include <QCoreApplication>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace {

constexpr unsigned module = 7;

QString tr_log(const char *text)
{
    return QCoreApplication::translate("log", text);
}

QString text_no_certificate()
{
    static const QString text =
        tr_log("Удалось соединиться с сервером QUVO-LoRa, но не удалось узнать его сертификат (чтобы сравнить "
               "с тем, который указан в нашем файле конфигурации).");
    return text;
}

// True when the errors show the pinned certificate and no other; logs why not otherwise.
bool pinned_matches(const QList<QSslError> &errors)
{
    const QSslCertificate &pinned = settings.ws_cert;
    if (pinned.isNull())
        return false;
    if (errors.isEmpty()) {
        log_line(text_no_certificate());
        return false;
    }
    bool matched = false;
    QSslCertificate mismatching;
    for (const QSslError &error : errors) {
        const QSslCertificate certificate = error.certificate();
        if (error.error() == QSslError::SelfSignedCertificate) {
            if (certificate.isNull()) {
                log_unexpected(place_code(module, 101));
                return false;
            }
            if (certificate == pinned)
                return true;
            report_cert_mismatch(certificate);
            return false;
        }
        if (certificate.isNull())
            continue;
        if (certificate == pinned)
            matched = true;
        else
            mismatching = certificate;
    }
    if (!mismatching.isNull()) {
        report_cert_mismatch(mismatching);
        return false;
    }
    if (!matched)
        log_line(text_no_certificate());
    return matched;
}

} // namespace

void Certificate_check::prepare(QSslConfiguration &tls)
{
    tls.setCaCertificates({});
    tls.setPeerVerifyDepth(1);
}

bool Certificate_check::on_errors(const QList<QSslError> &errors)
{
    try {
        if (pinned_matches(errors)) {
            accepted = true;
            return true;
        }
    } catch (const std::exception &e) {
        log_exception(e, text_no_certificate());
    } catch (...) {
        log_unexpected(place_code(module, 46));
    }
    return false;
}

bool Certificate_check::on_connected(const QSslConfiguration &tls)
{
    const bool was_accepted = accepted;
    accepted = false;
    if (settings.ws_cert.isNull() || was_accepted)
        return true;
    if (tls.isNull() || tls.peerCertificate().isNull()) {
        log_line(tr_log("Удалось подключиться к серверу QUVO-LoRa, но соединение не является безопасным "
                        "(«wss:\\»). Поскольку у нас в конфигурации указан требуемый сертификат сервера, "
                        "не разрешаем такое соединение."));
        return false;
    }
    if (tls.peerCertificate() != settings.ws_cert) {
        report_cert_mismatch(tls.peerCertificate());
        return false;
    }
    return true;
}

void report_cert_mismatch(const QSslCertificate &certificate)
{
    static const QString text =
        tr_log("Удалось соединиться с сервером QUVO-LoRa, но его сертификат не совпадает с тем, который указан "
               "в нашем файле конфигурации. Текст сертификата (в формате %1): «\n%2\n».");
    if (settings.ws_cert_format == QSsl::Der) {
        const QByteArray der = certificate.toDer();
        const int end = der.indexOf('\0');
        log_line(text.arg(QStringLiteral("DER"), QString::fromLatin1(end < 0 ? der : der.left(end))));
    } else {
        log_line(text.arg(QStringLiteral("PEM"), QString::fromLatin1(certificate.toPem())));
    }
}
