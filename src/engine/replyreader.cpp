#include "replyreader.h"

#include "updateentry.h"

ReplyReader::ReplyReader()
{
    // Names are taken as written, prefixes included, and an undeclared prefix is no error.
    m_reader.setNamespaceProcessing(false);
}

ReplyReader::~ReplyReader()
{
    qDeleteAll(m_parser.takeEntries());
}

bool ReplyReader::add(const QByteArray &piece)
{
    m_size += piece.size();
    if (m_complete || m_hopeless)
        return m_complete;
    m_reader.addData(piece);
    while (!m_reader.atEnd() && !m_hopeless) {
        const QXmlStreamReader::TokenType token = m_reader.readNext();
        if (token == QXmlStreamReader::Invalid)
            break;
        m_tokenEnd = m_reader.characterOffset();
        if (token == QXmlStreamReader::StartElement)
            m_hopeless = ++m_depth > MaxDepth;
        else if (token == QXmlStreamReader::EndElement)
            --m_depth;
        else if (token == QXmlStreamReader::EndDocument)
            m_complete = true;
        if (!m_hopeless && !m_parser.read(m_reader))
            m_hopeless = true;
    }
    if (m_reader.hasError() && m_reader.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        m_hopeless = true;
    if (m_hopeless) {
        m_complete = false;
        m_reader.clear();
        qDeleteAll(m_parser.takeEntries());
        return false;
    }
    return m_complete;
}

QVector<UpdateEntry *> ReplyReader::takeEntries()
{
    return m_complete ? m_parser.takeEntries() : QVector<UpdateEntry *>();
}

qsizetype ReplyReader::cost() const
{
    // The offset counts characters, never more than bytes, so the estimate errs high.
    const qsizetype pending = qMax<qsizetype>(0, m_size - qsizetype(m_tokenEnd));
    return m_parser.heldText() + 2 * pending;
}
