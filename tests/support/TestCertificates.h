#pragma once

#include <QString>
#include <QStringList>

// Certificates a test makes at run time with the openssl command, each in a file of its own
// beside its key.
struct TestCertificate {
    QString certificate; // PEM
    QString key;         // PEM, unencrypted
    // As `openssl x509 -noout -fingerprint -sha256` prints it after its "=".
    QString fingerprint;
    bool IsValid() const { return !fingerprint.isEmpty(); }
};

// Whether the openssl command is there to make them.
bool HaveOpenssl();

// A self-signed certificate for commonName (also its DNS name), valid from now for a day, as
// DIR/NAME.crt and DIR/NAME.key. keyArguments choose the key as `openssl req -newkey` takes
// them; the default is an EC P-256 key, quick to make. Invalid on failure.
TestCertificate MakeSelfSigned(const QString& dir, const QString& name,
                               const QString& commonName = QStringLiteral("localhost"),
                               const QStringList& keyArguments = {
                                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                   QStringLiteral("ec_paramgen_curve:prime256v1")});

// A certificate authority of the test's own, as DIR/NAME.crt and DIR/NAME.key.
TestCertificate MakeAuthority(const QString& dir, const QString& name);
// A server certificate for commonName (also its DNS name) signed by authority.
TestCertificate MakeSigned(const QString& dir, const QString& name,
                           const TestCertificate& authority, const QString& commonName);
