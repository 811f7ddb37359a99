#include "testsigning.h"

#include "packagehash.h"
#include "packagesigner.h"
#include "serverkeycomment.h"
#include "testenvironment.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

QString TestSigning::keysFolder()
{
    return qEnvironmentVariable("ORVI_TEST_KEYS_DIR", QStringLiteral(ORVI_TEST_KEYS_DIR));
}

QString TestSigning::keyFile(const QString &key, const char *suffix)
{
    return keysFolder() + QLatin1Char('/') + key + QLatin1String(suffix);
}

QByteArray TestSigning::sign(const QString &file, const QByteArray &trustedComment,
    const QString &key, const QStringList &extra)
{
    const QString signature = file + QStringLiteral(".minisig");
    QFile::remove(signature);
#ifdef Q_OS_WIN
    // Debian's minisign is a Linux program; the package builder's signer writes the same format.
    if (!extra.isEmpty()) {
        qWarning("minisign's options are not at hand here");
        return QByteArray();
    }
    PackageSigner signer;
    QString errorText;
    const QByteArray comment = trustedComment.isEmpty()
        ? QByteArrayLiteral("timestamp:0\tfile:") + QFileInfo(file).fileName().toUtf8()
        : trustedComment;
    if (!signer.load(keyFile(key, ".key"), &errorText) || signer.needsPassword()
        || !signer.sign(file, comment, signature, &errorText)) {
        qWarning("cannot sign %s: %s", qPrintable(file), qPrintable(errorText));
        return QByteArray();
    }
    return TestEnvironment::readFile(signature);
#else
    const QString minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign.isEmpty()) {
        qWarning("minisign is missing: scripts/install-deps.sh installs it");
        return QByteArray();
    }
    QStringList arguments { QStringLiteral("-S"), QStringLiteral("-s"), keyFile(key, ".key"),
        QStringLiteral("-m"), file, QStringLiteral("-x"), signature };
    if (!trustedComment.isEmpty())
        arguments << QStringLiteral("-t") << QString::fromUtf8(trustedComment);
    QProcess process;
    process.start(minisign, arguments + extra);
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        qWarning("minisign: %s", process.readAllStandardError().constData());
        return QByteArray();
    }
    return TestEnvironment::readFile(signature);
#endif
}

QByteArray TestSigning::comment(const char *name, const char *version, const char *file)
{
    return TrustedComment { "orvi", name, "app", version, file }.toText();
}

QByteArray TestSigning::hashOf(const QString &file)
{
    QByteArray hash;
    QString errorText;
    if (!PackageHash::ofFile(file, &hash, &errorText))
        qWarning("cannot hash %s: %s", qPrintable(file), qPrintable(errorText));
    return hash;
}

PackageSignature::PublicKey TestSigning::publicKey(const QString &key)
{
    PackageSignature::PublicKey publicKey;
    const QByteArray text = TestEnvironment::readFile(keyFile(key, ".pub"));
    if (!PackageSignature::parsePublicKey(text.split('\n').value(1), &publicKey))
        qFatal("%s.pub is not a minisign public key", qPrintable(key));
    return publicKey;
}

QByteArray TestSigning::delegation(const QDateTime &expires, const QString &signer,
    const QString &serverKey, const QByteArray &trustedComment)
{
    PackageSigner packageKey;
    QString errorText;
    if (!packageKey.load(keyFile(signer, ".key"), &errorText)) {
        qWarning("cannot sign a delegation: %s", qPrintable(errorText));
        return QByteArray();
    }
    const QByteArray keyLine
        = TestEnvironment::readFile(keyFile(serverKey, ".pub")).split('\n').value(1);
    ServerKeyComment comment;
    comment.keyId = PackageSignature::keyIdText(publicKey(serverKey).id);
    comment.expires = expires;
    return packageKey.signatureText(
        keyLine + '\n', trustedComment.isEmpty() ? comment.toText() : trustedComment);
}

QStringList TestSigning::serverOptions(const QString &folder)
{
    const QString statement = folder + QStringLiteral("/server.delegation");
    if (!TestEnvironment::writeFile(
            statement, delegation(QDateTime::currentDateTimeUtc().addDays(1))))
        qWarning("cannot write %s", qPrintable(statement));
    return { QStringLiteral("--server-key"), keyFile(QStringLiteral("server"), ".key"),
        QStringLiteral("--delegation"), statement };
}
