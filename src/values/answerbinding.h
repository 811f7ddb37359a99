#pragma once

#include <QByteArray>
#include <QByteArrayView>

/*
 * What binds a signed answer of the update server to the question it answers: the text that
 * the signature covers before the answer's own bytes. An updater that asks for it
 * (ReplySchema::answerForm) gets answers bound to every byte of its request, which names the
 * inventory and carries the nonce; an updater before it, answers bound to its nonce alone.
 */
class AnswerBinding
{
public:
    /// The digits of the request's hash: BLAKE2b-256 in lower-case hexadecimal.
    static constexpr qsizetype HashDigits = 64;

    /// The BLAKE2b-256 hash of request, in lower-case hexadecimal.
    static QByteArray requestHash(QByteArrayView request);
    /// ReplySchema::answerSignedPrefix, the hash of request and a line feed.
    static QByteArray forRequest(QByteArrayView request);
    /// ReplySchema::nonceAnswerSignedPrefix, nonce and a line feed: the older form.
    static QByteArray forNonce(QByteArrayView nonce);
};
