#include "servertrust.h"

#include "builtinservertrust.h"
#include "packagesignature.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSslKey>

#include <algorithm>

namespace {
// The test authorities, for the whole process.
QMutex testMutex;
QList<QSslCertificate> testAuthorities;

// True when issued names authority as its issuer.
bool namesIssuer(const QSslCertificate &issued, const QSslCertificate &authority)
{
    const QList<QByteArray> attributes = authority.subjectInfoAttributes();
    if (attributes.isEmpty() || attributes != issued.issuerInfoAttributes())
        return false;
    for (const QByteArray &attribute : attributes) {
        if (issued.issuerInfo(attribute) != authority.subjectInfo(attribute))
            return false;
    }
    return true;
}

// A root names itself as its issuer.
bool isRoot(const QSslCertificate &certificate)
{
    return namesIssuer(certificate, certificate);
}
} // namespace

ServerTrust ServerTrust::plain()
{
    ServerTrust trust;
    trust.m_plain = true;
    return trust;
}

ServerTrust ServerTrust::system()
{
    return ServerTrust();
}

ServerTrust ServerTrust::pinned(const QList<QSslCertificate> &pins)
{
    ServerTrust trust;
    trust.m_pins = pins;
    // The backend verifies with the pins alone, so on OpenSSL nothing else can pass at all.
    trust.m_authorities = pins;
    return trust;
}

QList<QSslCertificate> ServerTrust::builtInPins()
{
    // Read anew each time: before Qt has found its TLS plug-in (on Windows in the folder that
    // the deployment's qt.conf names, read once the application exists) nothing can be read.
    return QSslCertificate::fromData(QByteArray(BuiltInServerTrust::authorities), QSsl::Pem);
}

ServerTrust ServerTrust::builtIn()
{
    if (PackageSignature::unsignedPackagesAllowed())
        return plain();
    const QList<QSslCertificate> pins = builtInPins();
    ServerTrust trust = pins.isEmpty() ? system() : pinned(pins);
    if (pins.isEmpty() && BuiltInServerTrust::authorities[0] != '\0') {
        // A pin that cannot be read refuses every server rather than let the system's
        // authorities stand in for it.
        qWarning("The built-in authority of the update server could not be read (no TLS "
                 "support found)");
        trust = pinned({});
        trust.m_pinUnreadable = true;
    }
    QMutexLocker locker(&testMutex);
    return testAuthorities.isEmpty() ? trust : trust.withAuthorities(testAuthorities);
}

void ServerTrust::setTestAuthorities(const QList<QSslCertificate> &authorities)
{
    QMutexLocker locker(&testMutex);
    testAuthorities = authorities;
}

ServerTrust ServerTrust::withAuthorities(const QList<QSslCertificate> &authorities) const
{
    ServerTrust trust = *this;
    trust.m_authorities = authorities;
    return trust;
}

bool ServerTrust::pinHolds(const QList<QSslCertificate> &chain) const
{
    if (m_pinUnreadable)
        return false;
    if (m_pins.isEmpty())
        return true;
    if (chain.isEmpty())
        return false;
    // Schannel reports the chain it built, up to a root of the system's store; OpenSSL what the
    // server sent, which may stop below the root that the backend found among the authorities
    // it was given. A name can be copied, so the roots are compared by their keys: the one
    // thing of the pinned authority no one else holds (a root re-issued with it still holds).
    QList<QSslCertificate> roots;
    if (isRoot(chain.constLast())) {
        roots << chain.constLast();
    } else {
        for (const QSslCertificate &authority : m_authorities.value_or(QList<QSslCertificate>())) {
            if (namesIssuer(chain.constLast(), authority))
                roots << authority;
        }
    }
    const auto pinned = [this](const QSslCertificate &root) {
        const QSslKey key = root.publicKey();
        return !key.isNull()
            && std::any_of(m_pins.cbegin(), m_pins.cend(),
                [&key](const QSslCertificate &pin) { return pin.publicKey() == key; });
    };
    // Where several authorities of the name could be the root, each must be pinned.
    return !roots.isEmpty() && std::all_of(roots.cbegin(), roots.cend(), pinned);
}
