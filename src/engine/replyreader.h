#pragma once

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
 */
class ReplyReader
{
public:
    /// Deeper nesting than any reply needs; a reply nested deeper never completes.
    static constexpr int MaxDepth = 256;

    ReplyReader();
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
    /// What the reply holds in memory, roughly: the entries' text, and twice the unfinished
    /// text at the end of what was received, which the look-ahead keeps decoded.
    qsizetype cost() const;
    /// True once the bytes received can never become a complete reply.
    bool isHopeless() const { return m_hopeless; }

private:
    QXmlStreamReader m_reader;
    ReplyParser m_parser;
    qsizetype m_size = 0;
    /// Where the last complete token ended, in characters.
    qint64 m_tokenEnd = 0;
    int m_depth = 0;
    bool m_complete = false;
    bool m_hopeless = false;
};
