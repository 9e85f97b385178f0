#include "TestCertificates.h"

#include <QDir>
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
} // namespace

bool HaveOpenssl() {
    return !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty();
}

TestCertificate MakeSelfSigned(const QString& dir, const QString& name, const QString& commonName,
                               const QStringList& keyArguments) {
    TestCertificate made;
    made.certificate = QDir(dir).filePath(name + QStringLiteral(".crt"));
    made.key = QDir(dir).filePath(name + QStringLiteral(".key"));
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
