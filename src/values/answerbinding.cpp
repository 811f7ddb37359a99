#include "answerbinding.h"

#include "replyschema.h"

#include <sodium.h>

QByteArray AnswerBinding::requestHash(QByteArrayView request)
{
    static const bool ready = sodium_init() >= 0;
    if (!ready)
        qFatal("libsodium cannot be initialised");
    QByteArray hash(crypto_generichash_BYTES, '\0');
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), size_t(hash.size()),
        reinterpret_cast<const unsigned char *>(request.data()),
        static_cast<unsigned long long>(request.size()), nullptr, 0);
    return hash.toHex();
}

QByteArray AnswerBinding::forRequest(QByteArrayView request)
{
    return ReplySchema::answerSignedPrefix + requestHash(request) + '\n';
}

QByteArray AnswerBinding::forNonce(QByteArrayView nonce)
{
    return ReplySchema::nonceAnswerSignedPrefix + nonce.toByteArray() + '\n';
}
