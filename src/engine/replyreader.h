#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QDomDocument>
#include <QXmlStreamReader>

/*
 * Collects the update server's reply piece by piece. The reply has no framing: it is complete
 * as soon as everything received so far is one well-formed document. Each piece is read on
 * incrementally, and the whole is handed to the document parser only once its root element
 * has closed, so a reply that never completes costs time and memory in proportion to its
 * size rather than to its size squared.
 */
class ReplyReader
{
public:
    /// Deeper nesting than any reply needs; a reply nested deeper never completes.
    static constexpr int MaxDepth = 256;

    ReplyReader();

    /// Adds piece to what was received; true when everything received so far is one
    /// well-formed document, which document() then holds. Bytes that can never belong to a
    /// well-formed document (or one nested deeper than MaxDepth) keep it false for good.
    bool add(const QByteArray &piece);
    /// The parsed reply, once add() has returned true.
    const QDomDocument &document() const { return m_document; }
    /// The number of bytes received so far.
    qsizetype size() const { return m_size; }
    /// What the reply holds in memory while it is incomplete, roughly: the bytes received,
    /// and again twice the unfinished text at their end, which the look-ahead keeps decoded.
    qsizetype cost() const;
    /// True once the bytes received can never become a well-formed document.
    bool isHopeless() const { return m_hopeless; }

private:
    QByteArrayList m_pieces;
    QXmlStreamReader m_reader;
    QDomDocument m_document;
    qsizetype m_size = 0;
    /// Where the last complete token ended, in characters.
    qint64 m_tokenEnd = 0;
    int m_depth = 0;
    bool m_rootClosed = false;
    bool m_hopeless = false;
};
