#include "updatereplybuilder.h"

#include "answersigner.h"
#include "cataloguecache.h"
#include "replyschema.h"
#include "versionnumber.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The escapes QXmlStreamWriter makes; written by hand because the reply is put together
// from pieces made once per catalogue read. The texts are XML characters only: they come
// from parsed XML or from signature files checked for it.
void appendEscaped(QByteArray *out, QStringView text, bool attribute)
{
    qsizetype i = 0;
    while (i < text.size()) {
        // Plain ASCII goes in runs, the rest through the codec, also in runs so that
        // surrogate pairs reach it together.
        qsizetype end = i;
        const char16_t first = text.at(i).unicode();
        if (first >= 0x80) {
            while (end < text.size() && text.at(end).unicode() >= 0x80)
                ++end;
            out->append(text.mid(i, end - i).toUtf8());
            i = end;
            continue;
        }
        while (end < text.size()) {
            const char16_t c = text.at(end).unicode();
            if (c >= 0x80 || c == '<' || c == '>' || c == '&' || c == '\r'
                || (attribute && (c == '"' || c == '\t' || c == '\n')))
                break;
            ++end;
        }
        if (end > i) {
            const qsizetype start = out->size();
            out->resize(start + end - i);
            for (qsizetype k = i; k < end; ++k)
                (*out)[start + k - i] = char(text.at(k).unicode());
            i = end;
            continue;
        }
        if (first == '<')
            out->append("&lt;");
        else if (first == '>')
            out->append("&gt;");
        else if (first == '&')
            out->append("&amp;");
        else if (first == '\r')
            out->append("&#13;");
        else if (first == '"')
            out->append("&quot;");
        else if (first == '\t')
            out->append("&#9;");
        else
            out->append("&#10;");
        ++i;
    }
}

void appendAttribute(QByteArray *out, const char *name, QStringView value)
{
    out->append(' ').append(name).append("=\"");
    appendEscaped(out, value, true);
    out->append('"');
}

void appendOpening(QByteArray *out, QStringView project, QStringView name, QStringView type)
{
    out->append("    <").append(ReplySchema::request);
    appendAttribute(out, ReplySchema::project, project);
    appendAttribute(out, ReplySchema::name, name);
    appendAttribute(out, ReplySchema::type, type);
    out->append(">\n");
}

void appendElement(QByteArray *out, const char *name, QStringView text)
{
    out->append("        <").append(name).append('>');
    appendEscaped(out, text, false);
    out->append("</").append(name).append(">\n");
}

QByteArray emptyElement(const char *name)
{
    return QByteArray("        <").append(name).append("/>\n");
}

qsizetype utf8Length(QStringView text)
{
    qsizetype length = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        // A surrogate pair takes four bytes, two for each half.
        length += c < 0x80 ? 1 : c < 0x800 ? 2 : QChar::isSurrogate(c) ? 2 : 3;
    }
    return length;
}

bool isEchoed(const InventoryParser::Component &component)
{
    constexpr qsizetype Maximum = UpdateReplyBuilder::MaximumEchoedText;
    return utf8Length(component.project) <= Maximum && utf8Length(component.name) <= Maximum
        && utf8Length(component.type) <= Maximum;
}

} // namespace

UpdateReplyBuilder::UpdateReplyBuilder(CatalogueCache *catalogue, QString baseUrl)
    : m_catalogue(catalogue), m_baseUrl(std::move(baseUrl))
{
    while (m_baseUrl.endsWith(QLatin1Char('/')))
        m_baseUrl.chop(1);
}

void UpdateReplyBuilder::prepareOffers()
{
    m_offers.clear();
    const QList<CatalogueEntry> &entries = m_catalogue->catalogue().entries();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const CatalogueEntry &entry = entries.at(i);
        QByteArray elements;
        using namespace ReplySchema;
        appendElement(&elements, version, entry.version);
        appendElement(&elements, description, entry.description);
        appendElement(&elements, copyrights, entry.copyrights);
        appendElement(&elements, author, entry.author);
        appendElement(&elements, webpage, entry.webpage);
        appendElement(&elements, email, entry.email);
        appendElement(&elements, changelog, entry.changelog);
        appendElement(&elements, link, QString(m_baseUrl + QLatin1Char('/') + entry.package));
        appendElement(&elements, critical,
            entry.critical ? QString::fromLatin1(criticalTrue) : QStringLiteral("false"));
        appendElement(&elements, timestamp, QString::number(entry.timestamp));
        // Read with the index: publishers write the package before the index that names it.
        const QFileInfo package(QDir(m_catalogue->folder()).filePath(entry.package));
        if (package.isFile())
            appendElement(&elements, size, QString::number(package.size()));
        QList<QPair<QString, QByteArray>> deltas;
        for (const CatalogueEntry::Delta &delta : entry.deltas) {
            const QFileInfo file(QDir(m_catalogue->folder()).filePath(delta.package));
            // A delta not (or no longer) in the folder is not offered: the whole package is.
            if (!file.isFile())
                continue;
            QByteArray deltaElements;
            appendElement(&deltaElements, deltaBase, delta.base);
            appendElement(
                &deltaElements, deltaLink, QString(m_baseUrl + QLatin1Char('/') + delta.package));
            appendElement(&deltaElements, deltaSize, QString::number(file.size()));
            const CatalogueCache::Signature signature
                = m_catalogue->readSignature(delta.package + QLatin1String(".minisig"));
            if (!signature.text.isEmpty())
                appendElement(&deltaElements, deltaSignature, signature.text);
            deltas.append({ delta.base, deltaElements });
        }
        QByteArray opening;
        appendOpening(&opening, entry.project, entry.name, entry.type);
        m_offers.insert({ entry.project, entry.name, entry.type },
            { i, opening, elements, 0, QByteArray(), deltas });
    }
    m_preparedGeneration = m_catalogue->generation();
}

QString UpdateReplyBuilder::refusal(const QDateTime &now) const
{
    // A signer whose delegation was never checked has no expiry to go by.
    if (!m_signer || !m_signer->expires().isValid() || m_signer->expires() > now)
        return QString();
    return QStringLiteral("the server key's delegation expired at %1")
        .arg(m_signer->expires().toString(Qt::ISODate));
}

bool UpdateReplyBuilder::build(const QList<InventoryParser::Component> &components,
    const QByteArray &binding, QByteArray *reply, Summary *summary, QString *errorText)
{
    if (!m_catalogue->refresh(errorText))
        return false;
    if (m_preparedGeneration != m_catalogue->generation())
        prepareOffers();
    const QList<CatalogueEntry> &entries = m_catalogue->catalogue().entries();

    reply->clear();
    // Enough for the usual reply at once, where an offer takes about a kilobyte and most
    // components are up to date; a reply that is mostly offers grows as it goes.
    reply->reserve(1024 + 256 * components.size());
    static const QByteArray latest = emptyElement(ReplySchema::latest);
    static const QByteArray noSuchComponent = emptyElement(ReplySchema::noSuchComponent);
    static const QByteArray requestEnd
        = QByteArray("    </").append(ReplySchema::request).append(">\n");
    reply->append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<")
        .append(ReplySchema::updates)
        .append(">\n");
    if (m_signer)
        reply->append(m_signer->serverKeyElement());
    for (const InventoryParser::Component &component : components) {
        const auto offer = m_offers.find({ component.project, component.name, component.type });
        if (offer == m_offers.end()) {
            ++summary->unknown;
            if (!isEchoed(component)) {
                ++summary->notEchoed;
                continue;
            }
            appendOpening(reply, component.project, component.name, component.type);
            reply->append(noSuchComponent);
        } else if (VersionNumber::compare(entries.at(offer->entry).version, component.version)
            <= 0) {
            reply->append(offer->opening);
            reply->append(latest);
            ++summary->latest;
        } else {
            reply->append(offer->opening);
            reply->append(offer->elements);
            const CatalogueCache::Signature &signature = m_catalogue->signature(offer->entry);
            if (signature.revision != offer->signatureRevision) {
                offer->signatureElement.clear();
                if (!signature.text.isEmpty())
                    appendElement(&offer->signatureElement, ReplySchema::signature, signature.text);
                offer->signatureRevision = signature.revision;
            }
            reply->append(offer->signatureElement);
            for (const auto &[base, deltaElements] : std::as_const(offer->deltas)) {
                if (VersionNumber::compare(base, component.version) == 0) {
                    reply->append(deltaElements);
                    ++summary->deltas;
                    break;
                }
            }
            if (signature.unusable)
                summary->unusableSignatures << entries.at(offer->entry).signatureFileName();
            ++summary->available;
        }
        reply->append(requestEnd);
    }
    if (m_signer)
        m_signer->appendSignature(reply, binding);
    reply->append("</").append(ReplySchema::updates).append(">\n");
    // The reply may wait long for a slow client: it keeps no more room than it uses.
    if (reply->capacity() > reply->size() + reply->size() / 4)
        reply->squeeze();
    return true;
}
