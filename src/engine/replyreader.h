#pragma once

#include "answersignature.h"
#include "componentanswers.h"
#include "replyparser.h"

#include <QByteArray>
#include <QVector>
#include <QXmlStreamReader>

class UpdateEntry;

/*
 * Reads the update server's reply piece by piece. The reply has no framing: it is complete as
 * soon as everything received so far is one well-formed document. Each piece is read on where
 * the last one stopped and turned into catalogue entries at once, so neither the bytes nor a
 * document are kept: a reply costs the text of its entries and the unfinished token at its
 * end, whatever its size.
 *
 * The bytes that the update server's signature covers (ReplySchema) are hashed as their tokens
 * complete, up to the start of the signature element, and the server's key and the signature
 * are picked up on the way, so that the signature is checked without keeping the reply.
 * The reply must be UTF-8: the reader counts characters, and the signature covers bytes.
 * It notes which of the inventory's components the reply answers, and what follows the root's
 * end: only blanks may.
 */
class ReplyReader
{
public:
    /// Deeper nesting than any reply needs; a reply nested deeper never completes.
    static constexpr int MaxDepth = 256;

    /// The most text the server key's element or the signature may hold.
    static constexpr qsizetype MaxSignatureText = 4096;

    /// A reader of the answer to request (the bytes sent), which must answer every component
    /// of expected.
    explicit ReplyReader(
        const QByteArray &request = QByteArray(), ComponentAnswers expected = ComponentAnswers());
    ~ReplyReader();
    ReplyReader(const ReplyReader &) = delete;
    ReplyReader &operator=(const ReplyReader &) = delete;

    /// Adds piece to what was received; true when everything received so far is one
    /// well-formed document, whose entries takeEntries() then gives. Bytes after the root that
    /// do not yet make a whole character are not looked at. Bytes that can never
    /// belong to a well-formed document (or one nested deeper than MaxDepth, or with more
    /// than the catalogue's bounds allow) keep it false for good.
    bool add(const QByteArray &piece);
    /// The catalogue of the complete reply (ReplyParser); the caller owns the entries.
    QVector<UpdateEntry *> takeEntries();
    /// The number of bytes received so far.
    qsizetype size() const { return m_size; }
    /// What the reply holds in memory, roughly: the entries' text, twice the unfinished text
    /// at the end of what was received, which the look-ahead keeps decoded, and its bytes
    /// once more, kept until they are hashed for the signature.
    qsizetype cost() const;
    /// True once the bytes received can never become a complete reply.
    bool isHopeless() const { return m_hopeless; }
    /// True once anything but blanks came after the root's end tag (which makes a reply
    /// hopeless when it comes with the document's last piece).
    bool hasTrailingBytes() const { return m_trailing; }
    /// The components expected, and which of them the reply answered so far.
    const ComponentAnswers &answers() const { return m_answers; }
    /// Checks the complete reply's signature against the package keys that may delegate the
    /// server's key, at the time now. Once per reply.
    AnswerSignature::Result checkSignature(
        const QList<PackageSignature::PublicKey> &packageKeys, const QDateTime &now);

private:
    /// Hashes the signed bytes up to the character offset end.
    void hashUpTo(qint64 end);
    /// Picks up the server's key and the signature, and ends the signed bytes at the signature.
    void readSignatureParts(QXmlStreamReader::TokenType token);

    /// Notes the component of a "request" element as answered.
    void noteAnswer();

    QXmlStreamReader m_reader;
    ReplyParser m_parser;
    ComponentAnswers m_answers;
    qsizetype m_size = 0;
    /// Where the last complete token ended, in characters.
    qint64 m_tokenEnd = 0;
    int m_depth = 0;
    bool m_complete = false;
    bool m_hopeless = false;
    bool m_rootEnded = false;
    bool m_trailing = false;

    AnswerSignature m_signature;
    /// Bytes received that are still to be hashed, from m_unhashedStart on.
    QByteArray m_unhashed;
    qsizetype m_unhashedStart = 0;
    /// The characters hashed so far, as the token reader counts them (UTF-16 units).
    qint64 m_hashedChars = 0;
    /// False from the start of the signature element on.
    bool m_signing = true;
    enum class Capture { None, ServerKey, Signature };
    Capture m_capture = Capture::None;
    bool m_serverKeyFound = false;
    bool m_signatureFound = false;
    /// Something stands where only the signature may: a reply that cannot verify.
    bool m_misplaced = false;
    QByteArray m_serverKeyLine;
    QByteArray m_statement;
    QByteArray m_signatureText;
};
