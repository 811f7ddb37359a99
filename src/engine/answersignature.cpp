#include "answersignature.h"

#include "answerbinding.h"

const char *AnswerSignature::describe(Result result)
{
    switch (result) {
    case Result::Verified:
        return "its signature holds";
    case Result::Unsigned:
        return "it is not signed";
    case Result::Misplaced:
        return "its signature is not its last element or cannot be read";
    case Result::NoServerKey:
        return "it does not carry the server's key";
    case Result::DelegationUnreadable:
        return "the server key's delegation cannot be read";
    case Result::NotDelegated:
        return "no package key of this updater delegates the server's key";
    case Result::NotADelegation:
        return "the server key's delegation is another kind of signature";
    case Result::OtherKey:
        return "the delegation is for another server key";
    case Result::DelegationExpired:
        return "the server key's delegation has expired";
    case Result::DelegationTooLong:
        return "the server key's delegation ends further ahead than any delegation may";
    case Result::Forged:
        return "its signature does not hold for this request (a server older than this updater "
               "signs for the nonce alone)";
    }
    return "";
}

AnswerSignature::AnswerSignature(const QByteArray &request)
{
    static const bool ready = sodium_init() >= 0;
    Q_UNUSED(ready);
    crypto_sign_init(&m_state);
    const QByteArray binding = AnswerBinding::forRequest(request);
    addSigned(binding.constData(), binding.size());
}

void AnswerSignature::addSigned(const char *data, qsizetype size)
{
    crypto_sign_update(&m_state, reinterpret_cast<const unsigned char *>(data),
        static_cast<unsigned long long>(size));
}

AnswerSignature::Result AnswerSignature::verify(const QByteArray &keyLine,
    const QByteArray &statement, const QByteArray &signature,
    const QList<PackageSignature::PublicKey> &packageKeys, const QDateTime &now)
{
    PackageSignature::PublicKey serverKey;
    switch (ServerKeyDelegation(keyLine, statement).check(packageKeys, now, &serverKey)) {
    case ServerKeyDelegation::Result::Delegated:
        break;
    case ServerKeyDelegation::Result::Unreadable:
        return Result::DelegationUnreadable;
    case ServerKeyDelegation::Result::NotDelegated:
        return Result::NotDelegated;
    case ServerKeyDelegation::Result::NotADelegation:
        return Result::NotADelegation;
    case ServerKeyDelegation::Result::OtherKey:
        return Result::OtherKey;
    case ServerKeyDelegation::Result::Expired:
        return Result::DelegationExpired;
    case ServerKeyDelegation::Result::TooLong:
        return Result::DelegationTooLong;
    }
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        signature.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != crypto_sign_BYTES)
        return Result::Misplaced;
    QByteArray bytes = decoded.decoded;
    return crypto_sign_final_verify(&m_state, reinterpret_cast<unsigned char *>(bytes.data()),
               reinterpret_cast<const unsigned char *>(serverKey.key.constData()))
            == 0
        ? Result::Verified
        : Result::Forged;
}
