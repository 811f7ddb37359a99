#pragma once

#include "packagesignature.h"
#include "trustedcomment.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/*
 * Signs packages for tests with Debian's minisign and the key pairs under tests/keys: "test",
 * the key the test builds trust, and "other", one they do not.
 */
class TestSigning
{
public:
    /// Writes file + ".minisig", signed by key with trustedComment (minisign's own when empty)
    /// and minisign's extra options, and returns its text; empty (with a warning) when minisign
    /// failed or is missing.
    static QByteArray sign(const QString &file, const QByteArray &trustedComment,
        const QString &key = QStringLiteral("test"), const QStringList &extra = QStringList());
    /// The trusted comment that vouches for an "app" package of orvi.
    static QByteArray comment(const char *name, const char *version, const char *file);
    /// The BLAKE2b-512 of file, as the download hands it to the signature check.
    static QByteArray hashOf(const QString &file);
    /// The public key of the pair named key.
    static PackageSignature::PublicKey publicKey(const QString &key);
};
