#pragma once

#include <QList>
#include <QSslCertificate>

#include <optional>

/*
 * Whom the update server's certificate must come from: the system's trusted authorities, or
 * the authority built in with ORVI_UPDATE_SERVER_CA alone (a pin, checked by our own code on
 * the key of the peer's root as well, since a TLS backend may add the system's authorities to
 * any set);
 * or nobody, where the query is plain TCP (only a build that takes unsigned packages, for
 * staging and old servers). Tests give the authorities in place of the system's, with
 * withAuthorities() or, for every built-in trust of the process, setTestAuthorities(); the
 * machine's own store is never touched.
 */
class ServerTrust
{
public:
    /// Plain TCP, no TLS.
    static ServerTrust plain();
    /// TLS, verified against the system's trusted authorities.
    static ServerTrust system();
    /// TLS, verified against pins alone.
    static ServerTrust pinned(const QList<QSslCertificate> &pins);
    /// Plain in a build that takes unsigned packages, else the built-in pin or the system's
    /// authorities (the test authorities in their place where a test set them). A built-in pin
    /// can be read only once Qt's TLS plug-in is found, so only after the application exists;
    /// before, the trust refuses every server.
    static ServerTrust builtIn();
    /// The authority of ORVI_UPDATE_SERVER_CA; none when the build has none.
    static QList<QSslCertificate> builtInPins();
    /// Test seam: builtIn() trusts authorities in place of the system's from now on (an empty
    /// list goes back to the system's).
    static void setTestAuthorities(const QList<QSslCertificate> &authorities);

    /// This trust with authorities as the set the TLS backend verifies with; a pin still holds.
    ServerTrust withAuthorities(const QList<QSslCertificate> &authorities) const;

    bool isPlain() const { return m_plain; }
    /// The set the TLS backend verifies with; none: the system's.
    std::optional<QList<QSslCertificate>> authorities() const { return m_authorities; }
    /// True when there is no pin, or when the root of chain (the peer's, the server's own
    /// certificate first, as the backend verified it) has the key of a pinned authority.
    bool pinHolds(const QList<QSslCertificate> &chain) const;

private:
    bool m_plain = false;
    std::optional<QList<QSslCertificate>> m_authorities;
    QList<QSslCertificate> m_pins;
    bool m_pinUnreadable = false;
};
