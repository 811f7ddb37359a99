#include "replyreader.h"

#include "replyschema.h"
#include "updateentry.h"

namespace {
bool blank(QByteArrayView bytes)
{
    for (const char c : bytes) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            return false;
    }
    return true;
}
} // namespace

ReplyReader::ReplyReader(const QByteArray &request, ComponentAnswers expected)
    : m_answers(std::move(expected)), m_signature(request)
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
    if (m_complete && !blank(piece))
        m_trailing = true;
    if (m_complete || m_hopeless)
        return m_complete;
    m_reader.addData(piece);
    if (m_signing)
        m_unhashed.append(piece);
    while (!m_reader.atEnd() && !m_hopeless) {
        const QXmlStreamReader::TokenType token = m_reader.readNext();
        if (token == QXmlStreamReader::Invalid)
            break;
        if (token == QXmlStreamReader::StartElement) {
            m_hopeless = ++m_depth > MaxDepth;
            noteAnswer();
        } else if (m_rootEnded && token != QXmlStreamReader::EndDocument
            && !(token == QXmlStreamReader::Characters && m_reader.isWhitespace())) {
            // A comment or an instruction after the root: nobody signed it.
            m_trailing = true;
        }
        readSignatureParts(token);
        if (token == QXmlStreamReader::EndElement)
            m_rootEnded = --m_depth == 0;
        else if (token == QXmlStreamReader::EndDocument)
            m_complete = true;
        m_tokenEnd = m_reader.characterOffset();
        // Text ends where the next tag's "<" was read, which the offset already counts.
        if (m_signing)
            hashUpTo(token == QXmlStreamReader::Characters && !m_reader.isCDATA() ? m_tokenEnd - 1
                                                                                  : m_tokenEnd);
        if (!m_hopeless && !m_parser.read(m_reader))
            m_hopeless = true;
    }
    // What the tokens took is dropped once per piece, not once per token.
    m_unhashed.remove(0, m_unhashedStart);
    m_unhashedStart = 0;
    if (m_reader.hasError() && m_reader.error() != QXmlStreamReader::PrematureEndOfDocumentError)
        m_hopeless = true;
    if (m_hopeless && m_rootEnded)
        m_trailing = true;
    if (m_hopeless) {
        m_complete = false;
        m_reader.clear();
        qDeleteAll(m_parser.takeEntries());
        return false;
    }
    return m_complete;
}

void ReplyReader::hashUpTo(qint64 end)
{
    // The token reader counts UTF-16 units: one per UTF-8 sequence, two for the four-byte
    // ones. A reply in another encoding hashes other bytes than were signed and fails.
    qsizetype byte = m_unhashedStart;
    const qsizetype size = m_unhashed.size();
    while (m_hashedChars < end && byte < size) {
        const auto lead = static_cast<unsigned char>(m_unhashed.at(byte));
        const int length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        m_hashedChars += length == 4 ? 2 : 1;
        byte = qMin(size, byte + length);
    }
    m_signature.addSigned(m_unhashed.constData() + m_unhashedStart, byte - m_unhashedStart);
    m_unhashedStart = byte;
}

void ReplyReader::noteAnswer()
{
    if (m_reader.qualifiedName() != QLatin1String(ReplySchema::request))
        return;
    const QXmlStreamAttributes attributes = m_reader.attributes();
    m_answers.answer(attributes.value(QLatin1String(ReplySchema::project)).toString(),
        attributes.value(QLatin1String(ReplySchema::name)).toString(),
        attributes.value(QLatin1String(ReplySchema::type)).toString());
}

void ReplyReader::readSignatureParts(QXmlStreamReader::TokenType token)
{
    switch (token) {
    case QXmlStreamReader::StartElement: {
        const QStringView name = m_reader.qualifiedName();
        if (!m_signing) {
            // Nothing after the signature is signed, so nothing may stand there.
            m_misplaced = true;
        } else if (m_capture != Capture::None) {
            m_serverKeyLine.clear();
            m_capture = Capture::None;
        } else if (m_depth == 2 && name == QLatin1String(ReplySchema::answerSignature)) {
            // The signed bytes end where this element starts: the bytes not yet hashed must
            // begin with its tag (after the last byte of text whose end was not yet seen), or
            // the count of characters went astray.
            const QByteArray tag = QByteArray("<") + ReplySchema::answerSignature;
            const QByteArrayView rest = QByteArrayView(m_unhashed).sliced(m_unhashedStart);
            if (!rest.startsWith(tag) && rest.size() > 1 && rest.at(0) != '<'
                && rest.sliced(1).startsWith(tag))
                hashUpTo(m_hashedChars + 1);
            m_misplaced = !QByteArrayView(m_unhashed).sliced(m_unhashedStart).startsWith(tag);
            m_signing = false;
            m_unhashed = QByteArray();
            m_unhashedStart = 0;
            m_signatureFound = true;
            m_capture = Capture::Signature;
        } else if (m_depth == 2 && !m_serverKeyFound
            && name == QLatin1String(ReplySchema::serverKey)) {
            m_serverKeyFound = true;
            m_serverKeyLine
                = m_reader.attributes().value(QLatin1String(ReplySchema::serverKeyLine)).toLatin1();
            m_capture = Capture::ServerKey;
        }
        break;
    }
    case QXmlStreamReader::EndElement:
        if (m_depth == 2)
            m_capture = Capture::None;
        break;
    case QXmlStreamReader::Characters: {
        QByteArray *text = m_capture == Capture::ServerKey ? &m_statement
            : m_capture == Capture::Signature              ? &m_signatureText
                                                           : nullptr;
        if (text) {
            text->append(m_reader.text().toUtf8());
            if (text->size() > MaxSignatureText) {
                m_misplaced = true;
                m_capture = Capture::None;
            }
        }
        break;
    }
    default:
        break;
    }
}

AnswerSignature::Result ReplyReader::checkSignature(
    const QList<PackageSignature::PublicKey> &packageKeys, const QDateTime &now)
{
    if (!m_complete)
        return AnswerSignature::Result::Misplaced;
    if (!m_signatureFound)
        return AnswerSignature::Result::Unsigned;
    if (m_misplaced)
        return AnswerSignature::Result::Misplaced;
    if (!m_serverKeyFound)
        return AnswerSignature::Result::NoServerKey;
    return m_signature.verify(m_serverKeyLine, m_statement, m_signatureText, packageKeys, now);
}

QVector<UpdateEntry *> ReplyReader::takeEntries()
{
    return m_complete ? m_parser.takeEntries() : QVector<UpdateEntry *>();
}

qsizetype ReplyReader::cost() const
{
    // The offset counts characters, never more than bytes, so the estimate errs high.
    const qsizetype pending = qMax<qsizetype>(0, m_size - qsizetype(m_tokenEnd));
    return m_parser.heldText() + 2 * pending + m_unhashed.size() - m_unhashedStart;
}
