#pragma once

#include "packagesignature.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

/*
 * The statement by which a package key built into the updater delegates the update query's
 * answers to the update server's own key, so that the server's key can change without a new
 * updater: a minisign signature, by a package key, of the server key's line (the base64 line
 * of its .pub file followed by a line feed) whose trusted comment (ServerKeyComment) names
 * that key and when the delegation ends.
 */
class ServerKeyDelegation
{
public:
    /// How long after its expiry a delegation still holds, for a clock that runs ahead (a time
    /// zone taken for UTC is off by up to 14 hours). An expired key is trusted that much
    /// longer by every updater, so publishers renew delegations well before they end.
    static constexpr qint64 ClockSkewSeconds = 24 * 60 * 60;
    /// The furthest ahead of now a delegation may end (ORVI_SERVER_KEY_DELEGATION_MAX_DAYS at
    /// configure time): there is no revocation, so a delegation for ever would make a stolen
    /// server key good for ever.
    static const qint64 MaximumLifetimeDays;

    enum class Result {
        Delegated,
        /// The key line or the statement cannot be read.
        Unreadable,
        /// Not signed by a package key this updater trusts, or its signature does not hold.
        NotDelegated,
        /// A signature whose trusted comment is no delegation (a package's, say).
        NotADelegation,
        /// A delegation of another key.
        OtherKey,
        Expired,
        /// It ends further ahead than MaximumLifetimeDays.
        TooLong,
    };

    /// keyLine is the server key's base64 line, statement the text of the signature file.
    ServerKeyDelegation(const QByteArray &keyLine, const QByteArray &statement);

    /// Checks the statement against packageKeys at the time now; on Delegated, serverKey is
    /// the key the answers must be signed with.
    Result check(const QList<PackageSignature::PublicKey> &packageKeys, const QDateTime &now,
        PackageSignature::PublicKey *serverKey) const;

private:
    QByteArray m_keyLine;
    PackageSignature m_statement;
};
