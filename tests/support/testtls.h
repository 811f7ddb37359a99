#pragma once

#include <QHash>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

/*
 * The test authorities and certificates of tests/keys/tls (made by its make.sh): "ca", the
 * authority the tests trust in place of the system's, "otherca", one they do not; server
 * certificates "server" (127.0.0.1, localhost, updates.orvi.test), "expired", "othername" and
 * "otherca-server"; and "fakeca", an authority named as "ca" with a key of its own, which made
 * "fakeca-server".
 */
class TestTls
{
public:
    /// The path of name + suffix (".pem" or ".key") in tests/keys/tls.
    static QString file(const QString &name, const char *suffix = ".pem");
    /// The certificates of name's PEM file.
    static QList<QSslCertificate> certificates(const QString &name);
    /// The private key of the server certificate name.
    static QSslKey key(const QString &name);
    /// True under Wine, whose CertFindChainInStore (which Qt's Schannel backend needs to find a
    /// server's certificate) is a stub that finds nothing: there a test server cannot speak TLS
    /// itself.
    static bool underWine();
    /// A plain port for a test server behind TLS ports, one per server certificate name.
    struct Front
    {
        quint16 backend = 0;
        QHash<QString, quint16> ports;
    };
    /// The TLS fronts that cmake/wine-run.sh.in starts for the test servers under Wine.
    static QList<Front> fronts();
    /// Under Wine, places the authority name in the Root store of the build's own Wine prefix
    /// (the current user's), so that Schannel trusts it as one of the system's; false where it
    /// cannot, and everywhere but under Wine, where the machine's store is never touched.
    static bool addWineRoot(const QString &name);
    /// Takes the authority name out of that store again. A process's Schannel reads the store
    /// once, so a change shows only in processes started after it.
    static void removeWineRoot(const QString &name);
};
