#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

// A certificate named by the SHA-256 of its DER bytes, the way a person compares and pins it.

// Upper-case hex pairs joined by colons, as `openssl x509 -noout -fingerprint -sha256` prints
// them after its "=". Any length of digest; empty gives empty.
QString FormatFingerprint(const QByteArray& digest);
// The fingerprint of a certificate given as its DER bytes.
QString CertificateFingerprint(const QByteArray& der);
// The 32 bytes a written fingerprint stands for: colons, blanks and letter case do not matter,
// so both the text openssl prints and plain lower-case hex work. Empty when what is left is
// not exactly 64 hex digits.
QByteArray ParseFingerprint(QStringView text);
// Whether a written fingerprint names the certificate with these DER bytes; a text that is no
// fingerprint names none.
bool FingerprintMatches(QStringView text, const QByteArray& der);
