#pragma once

#include <QDateTime>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>

// The server's side of TLS: its certificate, with the chain that follows it in the file, and
// its private key, read from their files and checked as a pair before any connection gets
// them. A failed read leaves the pair in use as it was.
class CServerTls {
public:
    // Reads both files; on success new connections get the pair. Warnings (a key others may
    // read, a certificate out of its dates) do not stop it.
    bool Load(const QString& certificateFile, const QString& keyFile, QString* error,
              QStringList* warnings);
    bool IsLoaded() const { return !m_fingerprint.isEmpty(); }
    // What each new TLS connection starts with: TLS 1.2 or later, no client certificate.
    const QSslConfiguration& Configuration() const { return m_configuration; }
    // SHA-256 of the certificate, as openssl prints it.
    const QString& Fingerprint() const { return m_fingerprint; }
    QDateTime ExpiryDate() const { return m_configuration.localCertificate().expiryDate(); }

    // Whether Qt's TLS backend works here; the reason when not.
    static bool Available(QString* why);

    // A PEM file of a certificate and its chain, or of a key, is a few KiB.
    static constexpr qint64 kMaxFileBytes = 1024 * 1024;

private:
    QSslConfiguration m_configuration;
    QString m_fingerprint;
};

// The fingerprint of the first certificate in a PEM file; empty, with the reason, when there is
// none.
QString CertificateFileFingerprint(const QString& path, QString* error);
