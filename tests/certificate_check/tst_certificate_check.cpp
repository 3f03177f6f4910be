#include "config/settings.h"
#include "link/certificate_check.h"
#include "lora_sim/sim_server.h"
#include "lora_sim/tls_files.h"
#include "support/logged_cases.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>

namespace {

const QString data_dir = QStringLiteral(QUVO_SOURCE_DIR "/tests/simulator/data");
const QString no_certificate = QStringLiteral("Удалось соединиться с сервером QUVO-LoRa, но не удалось узнать его "
                                              "сертификат (чтобы сравнить с тем, который указан в нашем файле "
                                              "конфигурации).");

// "server" or "other", the two pairs of the simulator's tests; "" for none.
QSslCertificate certificate(const QString &name)
{
    QFile file(data_dir + (name == QLatin1String("other") ? "/other" : "") + QStringLiteral("/server.crt"));
    return !name.isEmpty() && file.open(QIODevice::ReadOnly) ? QSslCertificate(file.readAll()) : QSslCertificate();
}

QString mismatch_text(const QString &shown, QSsl::EncodingFormat format)
{
    const QSslCertificate c = certificate(shown);
    QByteArray text = format == QSsl::Pem ? c.toPem() : c.toDer();
    text.truncate(text.indexOf('\0') < 0 ? text.size() : text.indexOf('\0'));
    return QStringLiteral("Удалось соединиться с сервером QUVO-LoRa, но его сертификат не совпадает с тем, который "
                          "указан в нашем файле конфигурации. Текст сертификата (в формате %1): «\n%2\n».")
        .arg(format == QSsl::Pem ? QStringLiteral("PEM") : QStringLiteral("DER"), QString::fromLatin1(text));
}

void pin(const QString &name, QSsl::EncodingFormat format = QSsl::Pem)
{
    settings.ws_cert = certificate(name);
    settings.ws_cert_format = format;
    QVERIFY(name.isEmpty() || !settings.ws_cert.isNull());
}

} // namespace

class Tst_certificate_check : public Logged_cases {
    Q_OBJECT

private slots:
    void init()
    {
        reset_process_state();
        log_per_test(dir);
    }

    void errors_data()
    {
        QTest::addColumn<QString>("pinned");
        QTest::addColumn<int>("format");
        QTest::addColumn<QList<QSslError>>("errors");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("logged");  // the one entry logged; "" for none
        const QSslCertificate server = certificate(QStringLiteral("server"));
        const QSslCertificate other = certificate(QStringLiteral("other"));
        const int pem = QSsl::Pem;
        using E = QSslError;
        QTest::newRow("other self-signed") << "server" << pem << QList<E>{E(E::SelfSignedCertificate, other)}
                                           << false << mismatch_text(QStringLiteral("other"), QSsl::Pem);
        QTest::newRow("other self-signed, DER") << "server" << int(QSsl::Der)
                                                << QList<E>{E(E::SelfSignedCertificate, other)} << false
                                                << mismatch_text(QStringLiteral("other"), QSsl::Der);
        QTest::newRow("pinned beside another")
            << "server" << pem << QList<E>{E(E::UnableToVerifyFirstCertificate, server), E(E::HostNameMismatch, other)}
            << false << mismatch_text(QStringLiteral("other"), QSsl::Pem);
        QTest::newRow("self-signed with no certificate") << "server" << pem << QList<E>{E(E::SelfSignedCertificate)}
                                                         << false << unexpected_error_text(place_code(7, 101));
        QTest::newRow("no certificate in any") << "server" << pem
                                               << QList<E>{E(E::HostNameMismatch), E(E::NoPeerCertificate)} << false
                                               << no_certificate;
        QTest::newRow("no errors") << "server" << pem << QList<E>{} << false << no_certificate;
        // Refused quietly: the errors themselves are told where the connection fails.
        QTest::newRow("nothing pinned") << "" << pem << QList<E>{E(E::SelfSignedCertificate, server)} << false << "";
        QTest::newRow("pinned self-signed") << "server" << pem << QList<E>{E(E::SelfSignedCertificate, server)}
                                            << true << "";
        QTest::newRow("pinned, untrusted issuer")
            << "server" << pem
            << QList<E>{E(E::NoPeerCertificate), E(E::UnableToGetLocalIssuerCertificate, server),
                        E(E::CertificateUntrusted, server)}
            << true << "";
    }

    // What a handshake's errors say of the pinned certificate, and what is logged of a refusal.
    void errors()
    {
        QFETCH(QString, pinned);
        QFETCH(int, format);
        QFETCH(QList<QSslError>, errors);
        QFETCH(bool, accepted);
        QFETCH(QString, logged);
        pin(pinned, QSsl::EncodingFormat(format));
        Certificate_check check;
        check.start();
        QCOMPARE(check.on_errors(errors), accepted);
        const QString log = log_contents();
        QCOMPARE(log.count(QRegularExpression(QStringLiteral("^\\[\\d"), QRegularExpression::MultilineOption)),
                 logged.isEmpty() ? 0 : 1);
        QVERIFY2(log.contains(logged), qPrintable(log));
    }

    // A link without TLS is refused when a certificate is pinned; an acceptance serves one
    // connection, and a new attempt starts without it.
    void plain_link()
    {
        Certificate_check check;
        QVERIFY(check.on_connected(QSslConfiguration()));
        pin(QStringLiteral("server"));
        QVERIFY(check.on_errors({QSslError(QSslError::SelfSignedCertificate, settings.ws_cert)}));
        check.start();
        QVERIFY(!check.on_connected(QSslConfiguration()));
        QVERIFY(check.on_errors({QSslError(QSslError::SelfSignedCertificate, settings.ws_cert)}));
        QVERIFY(check.on_connected(QSslConfiguration()));
        QVERIFY(!check.on_connected(QSslConfiguration()));
        QCOMPARE(log_contents().count(QStringLiteral("соединение не является безопасным")), 2);
    }

    void handshake_data()
    {
        QTest::addColumn<QString>("pinned");
        QTest::addColumn<bool>("prepared");
        QTest::newRow("other pinned, prepared") << "other" << true;
        QTest::newRow("other pinned, trusted") << "other" << false;
        QTest::newRow("pinned, prepared") << "server" << true;
        QTest::newRow("pinned, trusted") << "server" << false;
    }

    // A real handshake on loopback with a client that trusts the server's certificate as an
    // authority: prepared, it raises errors all the same, so that only the pinned one passes;
    // without errors the peer's certificate decides.
    void handshake()
    {
        QFETCH(QString, pinned);
        QFETCH(bool, prepared);
        const bool usable = pinned == QLatin1String("server");
        QString problem;
        const auto server_tls = load_tls_configuration(data_dir + QStringLiteral("/server.crt"),
                                                       data_dir + QStringLiteral("/server.key"), &problem);
        QVERIFY2(server_tls, qPrintable(problem));
        Sim_server sim;
        QVERIFY(sim.listen_secure(*server_tls));
        pin(pinned);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates({certificate(QStringLiteral("server"))});
        if (prepared)
            Certificate_check::prepare(tls);
        QSslSocket socket;
        socket.setSslConfiguration(tls);
        Certificate_check check;
        check.start();
        int raised = 0;
        int accepted = 0;
        connect(&socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), &socket,
                [&](const QList<QSslError> &list) {
                    ++raised;
                    accepted += check.on_errors(list);
                    // Refused or not, the handshake goes on, so that the peer's side is seen too.
                    socket.ignoreSslErrors();
                });
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), sim.port());
        QVERIFY(QTest::qWaitFor([&] { return socket.isEncrypted(); }, 20000));
        QCOMPARE(raised, prepared ? 1 : 0);
        QCOMPARE(accepted, prepared && usable ? 1 : 0);
        QCOMPARE(check.on_connected(socket.sslConfiguration()), usable);
        QCOMPARE(log_contents().contains(mismatch_text(QStringLiteral("server"), QSsl::Pem)), !usable);
    }
};

QTEST_GUILESS_MAIN(Tst_certificate_check)
#include "tst_certificate_check.moc"
