#include "replyreader.h"

ReplyReader::ReplyReader()
{
    // The document parser runs without namespace processing; so must the look-ahead, or an
    // undeclared prefix would count as an error here only.
    m_reader.setNamespaceProcessing(false);
}

bool ReplyReader::add(const QByteArray &piece)
{
    m_size += piece.size();
    if (m_hopeless)
        return false;
    // Kept as received: growing one array would copy it again and again, at times holding
    // two copies at once.
    m_pieces.append(piece);
    m_reader.addData(piece);
    while (!m_reader.atEnd() && !m_hopeless) {
        const QXmlStreamReader::TokenType token = m_reader.readNext();
        if (token != QXmlStreamReader::Invalid)
            m_tokenEnd = m_reader.characterOffset();
        switch (token) {
        case QXmlStreamReader::StartElement:
            m_hopeless = ++m_depth > MaxDepth;
            break;
        case QXmlStreamReader::EndElement:
            m_rootClosed = --m_depth == 0;
            break;
        default:
            break;
        }
    }
    if (m_reader.hasError() && m_reader.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        m_hopeless = true;
    if (m_hopeless) {
        m_pieces.clear();
        m_reader.clear();
        return false;
    }
    if (!m_rootClosed)
        return false;
    QByteArray whole;
    whole.reserve(m_size);
    for (const QByteArray &received : std::as_const(m_pieces))
        whole += received;
    // Only what follows the root (an unfinished comment, say) can still be missing.
    if (!m_document.setContent(whole, false))
        return false;
    m_pieces.clear();
    return true;
}

qsizetype ReplyReader::cost() const
{
    // The offset counts characters, never more than bytes, so the estimate errs high.
    const qsizetype pending = qMax<qsizetype>(0, m_size - qsizetype(m_tokenEnd));
    return m_size + 2 * pending;
}
