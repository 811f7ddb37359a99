#include "serverkeydelegation.h"

#include "packagehash.h"
#include "serverkeycomment.h"

const qint64 ServerKeyDelegation::MaximumLifetimeDays = ORVI_SERVER_KEY_DELEGATION_MAX_DAYS;

ServerKeyDelegation::ServerKeyDelegation(const QByteArray &keyLine, const QByteArray &statement)
    : m_keyLine(keyLine.trimmed()), m_statement(statement)
{
}

ServerKeyDelegation::Result ServerKeyDelegation::check(
    const QList<PackageSignature::PublicKey> &packageKeys, const QDateTime &now,
    PackageSignature::PublicKey *serverKey) const
{
    PackageSignature::PublicKey key;
    if (!PackageSignature::parsePublicKey(m_keyLine, &key) || !m_statement.isWellFormed())
        return Result::Unreadable;
    // The line as a .pub file holds it, so that minisign -S over that line signs the same.
    PackageHash hash;
    const QByteArray message = m_keyLine + '\n';
    hash.add(message.constData(), message.size());

    if (m_statement.verifyStatement(hash.result(), packageKeys)
        != PackageSignature::Result::Verified)
        return Result::NotDelegated;
    ServerKeyComment comment;
    if (!ServerKeyComment::fromText(m_statement.trustedComment(), &comment))
        return Result::NotADelegation;
    if (comment.keyId != PackageSignature::keyIdText(key.id))
        return Result::OtherKey;
    if (now.toUTC() > comment.expires.addSecs(ClockSkewSeconds))
        return Result::Expired;
    if (comment.expires > now.toUTC().addDays(MaximumLifetimeDays))
        return Result::TooLong;
    *serverKey = key;
    return Result::Delegated;
}
