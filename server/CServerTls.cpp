#include "CServerTls.h"

#include "Fingerprint.h"
#include "RegularFile.h"

#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace {
QString KeyKind(QSsl::KeyAlgorithm algorithm) {
    switch (algorithm) {
    case QSsl::Rsa:
        return QStringLiteral("RSA");
    case QSsl::Ec:
        return QStringLiteral("EC");
    case QSsl::Dsa:
        return QStringLiteral("DSA");
    case QSsl::Dh:
    case QSsl::Opaque:
        break;
    }
    return {};
}

QList<QSslCertificate> ReadChain(const QString& path, QString& error) {
    const QByteArray pem = ReadRegularFile(path, QStringLiteral("TLS certificate file"),
                                           CServerTls::kMaxFileBytes, error);
    if (!error.isEmpty())
        return {};
    QList<QSslCertificate> chain = QSslCertificate::fromData(pem, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull())
        error = QStringLiteral("TLS certificate file %1 holds no PEM certificate").arg(path);
    return chain;
}

// OpenSSL checks the pair when a connection sets up, before a byte goes out: a connection on a
// socket pair of our own tells at once, without the network, what every client would meet.
QString CheckPair(const QSslConfiguration& configuration) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
        return QStringLiteral("cannot try the certificate and key: %1")
            .arg(QString::fromLocal8Bit(std::strerror(errno)));
    QString problem;
    {
        QSslSocket probe;
        QObject::connect(&probe, &QSslSocket::errorOccurred, [&] {
            if (problem.isEmpty())
                problem = probe.errorString();
        });
        if (probe.setSocketDescriptor(fds[0])) {
            probe.setSslConfiguration(configuration);
            probe.startServerEncryption();
            probe.abort();
        } else {
            ::close(fds[0]);
            problem =
                QStringLiteral("cannot try the certificate and key: %1").arg(probe.errorString());
        }
    }
    ::close(fds[1]);
    return problem;
}
} // namespace

bool CServerTls::Available(QString* why) {
    if (QSslSocket::supportsSsl() && QSslSocket::isProtocolSupported(QSsl::TlsV1_2OrLater))
        return true;
    if (why)
        *why = QStringLiteral("TLS is not available here (Qt's TLS backend \"%1\", %2)")
                   .arg(QSslSocket::activeBackend(), QSslSocket::sslLibraryVersionString());
    return false;
}

bool CServerTls::Load(const QString& certificateFile, const QString& keyFile, QString* error,
                      QStringList* warnings) {
    QString why;
    QString readable;
    const QList<QSslCertificate> chain = ReadChain(certificateFile, why);
    const QSsl::KeyAlgorithm algorithm =
        why.isEmpty() ? chain.first().publicKey().algorithm() : QSsl::Opaque;
    if (why.isEmpty() && KeyKind(algorithm).isEmpty())
        why = QStringLiteral("the key of TLS certificate %1 is of a kind not supported here: use "
                             "an EC or RSA key")
                  .arg(certificateFile);
    QByteArray pem;
    if (why.isEmpty())
        pem =
            ReadRegularFile(keyFile, QStringLiteral("TLS key file"), kMaxFileBytes, why, &readable);
    QSslKey key;
    if (why.isEmpty()) {
        key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (key.isNull())
            why = QStringLiteral("TLS key file %1 holds no unencrypted %2 private key, the kind "
                                 "its certificate needs")
                      .arg(keyFile, KeyKind(algorithm));
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (why.isEmpty()) {
        configuration.setLocalCertificateChain(chain);
        configuration.setPrivateKey(key);
        configuration.setProtocol(QSsl::TlsV1_2OrLater);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        // No client certificates are asked for: no authorities to put in every connection's
        // context.
        configuration.setCaCertificates({});
        const QString problem = CheckPair(configuration);
        if (!problem.isEmpty())
            why = QStringLiteral("TLS certificate %1 and key %2 do not work together: %3")
                      .arg(certificateFile, keyFile, problem);
    }
    if (!why.isEmpty()) {
        if (error)
            *error = why;
        return false;
    }
    m_configuration = configuration;
    m_fingerprint = CertificateFingerprint(chain.first().toDer());
    if (warnings) {
        warnings->clear();
        if (!readable.isEmpty())
            warnings->append(readable);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (chain.first().expiryDate() < now)
            warnings->append(
                QStringLiteral("TLS certificate %1 expired on %2")
                    .arg(certificateFile, chain.first().expiryDate().toString(Qt::ISODate)));
        else if (chain.first().effectiveDate() > now)
            warnings->append(
                QStringLiteral("TLS certificate %1 is not valid before %2")
                    .arg(certificateFile, chain.first().effectiveDate().toString(Qt::ISODate)));
    }
    return true;
}

QString CertificateFileFingerprint(const QString& path, QString* error) {
    QString why;
    const QList<QSslCertificate> chain = ReadChain(path, why);
    if (!why.isEmpty()) {
        if (error)
            *error = why;
        return {};
    }
    return CertificateFingerprint(chain.first().toDer());
}
