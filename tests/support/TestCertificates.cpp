#include "TestCertificates.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <optional>

namespace {
// openssl's standard output, or nothing when it fails.
std::optional<QByteArray> Openssl(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}
const QStringList kEcKey = {QStringLiteral("-newkey"), QStringLiteral("ec"),
                            QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:prime256v1")};

// The fingerprint openssl prints for a certificate file, into made; invalid on failure.
TestCertificate WithFingerprint(TestCertificate made) {
    const QByteArray printed =
        Openssl({QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-fingerprint"),
                 QStringLiteral("-sha256"), QStringLiteral("-in"), made.certificate})
            .value_or(QByteArray());
    const qsizetype equals = printed.indexOf('=');
    if (equals < 0)
        return {};
    made.fingerprint = QString::fromLatin1(printed.mid(equals + 1).trimmed());
    return made;
}

// Where DIR/NAME.crt and DIR/NAME.key go.
TestCertificate Named(const QString& dir, const QString& name) {
    TestCertificate made;
    made.certificate = QDir(dir).filePath(name + QStringLiteral(".crt"));
    made.key = QDir(dir).filePath(name + QStringLiteral(".key"));
    return made;
}
} // namespace

bool HaveOpenssl() {
    return !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty();
}

TestCertificate MakeSelfSigned(const QString& dir, const QString& name, const QString& commonName,
                               const QStringList& keyArguments) {
    TestCertificate made = Named(dir, name);
    QStringList arguments = {QStringLiteral("req"),
                             QStringLiteral("-x509"),
                             QStringLiteral("-nodes"),
                             QStringLiteral("-days"),
                             QStringLiteral("1"),
                             QStringLiteral("-subj"),
                             QStringLiteral("/CN=") + commonName,
                             QStringLiteral("-addext"),
                             QStringLiteral("subjectAltName=DNS:") + commonName,
                             QStringLiteral("-keyout"),
                             made.key,
                             QStringLiteral("-out"),
                             made.certificate,
                             QStringLiteral("-newkey")};
    arguments += keyArguments;
    if (!Openssl(arguments))
        return {};
    return WithFingerprint(made);
}

TestCertificate MakeAuthority(const QString& dir, const QString& name) {
    TestCertificate made = Named(dir, name);
    if (!Openssl(QStringList{
                     QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-nodes"),
                     QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                     QStringLiteral("/CN=Test authority ") + name, QStringLiteral("-addext"),
                     QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                     QStringLiteral("keyUsage=critical,keyCertSign,cRLSign"),
                     QStringLiteral("-keyout"), made.key, QStringLiteral("-out"),
                     made.certificate} +
                 kEcKey))
        return {};
    return WithFingerprint(made);
}

TestCertificate MakeSigned(const QString& dir, const QString& name,
                           const TestCertificate& authority, const QString& commonName) {
    TestCertificate made = Named(dir, name);
    const QString request = QDir(dir).filePath(name + QStringLiteral(".csr"));
    const QString extensions = QDir(dir).filePath(name + QStringLiteral(".ext"));
    QFile ext(extensions);
    if (!ext.open(QIODevice::WriteOnly))
        return {};
    ext.write("subjectAltName=DNS:" + commonName.toLatin1() +
              "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    ext.close();
    if (!Openssl(QStringList{QStringLiteral("req"), QStringLiteral("-nodes"),
                             QStringLiteral("-subj"), QStringLiteral("/CN=") + commonName,
                             QStringLiteral("-keyout"), made.key, QStringLiteral("-out"), request} +
                 kEcKey) ||
        !Openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), request,
                  QStringLiteral("-CA"), authority.certificate, QStringLiteral("-CAkey"),
                  authority.key, QStringLiteral("-CAcreateserial"), QStringLiteral("-days"),
                  QStringLiteral("1"), QStringLiteral("-extfile"), extensions,
                  QStringLiteral("-out"), made.certificate}))
        return {};
    return WithFingerprint(made);
}
