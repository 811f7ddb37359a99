#pragma once

#include "packagesignature.h"
#include "serverkeydelegation.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>

#include <sodium.h>

/*
 * The check of the update server's signature over one answer: Ed25519ph (libsodium's
 * multi-part signature, which hashes the message with SHA-512 as it streams) over the binding
 * to the request it answers (AnswerBinding::forRequest) and the signed bytes of the answer,
 * made by a server key that a trusted package key delegated. The bytes are taken as they
 * arrive, so the answer is never kept whole.
 */
class AnswerSignature
{
public:
    enum class Result {
        Verified,
        /// The answer carries no signature.
        Unsigned,
        /// A signature that is not the root's last child element, or cannot be read.
        Misplaced,
        /// A signature without the server's key and its delegation.
        NoServerKey,
        /// The server key's delegation fails (ServerKeyDelegation::Result).
        DelegationUnreadable,
        NotDelegated,
        NotADelegation,
        OtherKey,
        DelegationExpired,
        DelegationTooLong,
        /// The signature does not hold: the answer was altered, answers another request (or
        /// only its nonce, as servers before answers bound to the request sign), or was signed
        /// by another key.
        Forged,
    };

    /// What result means, in English, for a diagnostic line.
    static const char *describe(Result result);

    /// Starts the check of an answer to request, the bytes sent.
    explicit AnswerSignature(const QByteArray &request);
    AnswerSignature(const AnswerSignature &) = delete;
    AnswerSignature &operator=(const AnswerSignature &) = delete;

    /// Adds the next signed bytes of the answer.
    void addSigned(const char *data, qsizetype size);
    /// Checks signature (base64) over the bytes added, by the server key of keyLine that
    /// statement delegates, against packageKeys at the time now. Once per answer.
    Result verify(const QByteArray &keyLine, const QByteArray &statement,
        const QByteArray &signature, const QList<PackageSignature::PublicKey> &packageKeys,
        const QDateTime &now);

private:
    crypto_sign_state m_state;
};
