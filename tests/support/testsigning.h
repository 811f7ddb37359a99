#pragma once

#include "packagesignature.h"
#include "trustedcomment.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

/*
 * Signs packages for tests with Debian's minisign and the key pairs under tests/keys: "test",
 * the key the test builds trust, and "other", one they do not; "server" is the update server's
 * key, which "test" delegates.
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
    /// tests/keys, or the copy that ORVI_TEST_KEYS_DIR names for a test run by a user who
    /// cannot reach the checkout.
    static QString keysFolder();
    /// The path of the file of the pair named key with suffix (".key" or ".pub").
    static QString keyFile(const QString &key, const char *suffix);
    /// The statement by which the package key signer delegates the update server's key
    /// serverKey until expires, or with trustedComment when one is given.
    static QByteArray delegation(const QDateTime &expires,
        const QString &signer = QStringLiteral("test"),
        const QString &serverKey = QStringLiteral("server"),
        const QByteArray &trustedComment = QByteArray());
    /// The update server's options that sign its answers with the test server key, delegated
    /// by the test key for a day; the statement is written into folder.
    static QStringList serverOptions(const QString &folder);
};
