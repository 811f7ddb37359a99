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
    m_buffer += piece;
    m_reader.addData(piece);
    while (!m_reader.atEnd() && !m_hopeless) {
        switch (m_reader.readNext()) {
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
        m_buffer.clear();
        m_reader.clear();
        return false;
    }
    return m_rootClosed && m_document.setContent(m_buffer, false);
}
