#include "updatereplybuilder.h"

#include "cataloguecache.h"
#include "versionnumber.h"

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

void appendElement(QByteArray *out, const char *name, QStringView text)
{
    out->append("        <").append(name).append('>');
    appendEscaped(out, text, false);
    out->append("</").append(name).append(">\n");
}

} // namespace

bool UpdateReplyBuilder::ComponentKey::operator==(const ComponentKey &other) const
{
    return project == other.project && name == other.name && type == other.type;
}

size_t qHash(const UpdateReplyBuilder::ComponentKey &key, size_t seed)
{
    return qHashMulti(seed, key.project, key.name, key.type);
}

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
        appendElement(&elements, "version", entry.version);
        appendElement(&elements, "description", entry.description);
        appendElement(&elements, "copyrights", entry.copyrights);
        appendElement(&elements, "author", entry.author);
        appendElement(&elements, "webpage", entry.webpage);
        appendElement(&elements, "email", entry.email);
        appendElement(&elements, "changelog", entry.changelog);
        appendElement(&elements, "link", QString(m_baseUrl + QLatin1Char('/') + entry.package));
        appendElement(&elements, "critical",
            entry.critical ? QStringLiteral("true") : QStringLiteral("false"));
        appendElement(&elements, "timestamp", QString::number(entry.timestamp));
        m_offers.insert({ entry.project, entry.name, entry.type }, { i, elements });
    }
    m_preparedGeneration = m_catalogue->generation();
}

bool UpdateReplyBuilder::build(const QList<InventoryParser::Component> &components,
    QByteArray *reply, Summary *summary, QString *errorText)
{
    if (!m_catalogue->refresh(errorText))
        return false;
    if (m_preparedGeneration != m_catalogue->generation())
        prepareOffers();
    const QList<CatalogueEntry> &entries = m_catalogue->catalogue().entries();

    reply->clear();
    // Enough for the usual reply at once: an offer takes about a kilobyte.
    reply->reserve(1024 + 1024 * components.size());
    reply->append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<updates>\n");
    for (const InventoryParser::Component &component : components) {
        reply->append("    <request project=\"");
        appendEscaped(reply, component.project, true);
        reply->append("\" name=\"");
        appendEscaped(reply, component.name, true);
        reply->append("\" type=\"");
        appendEscaped(reply, component.type, true);
        reply->append("\">\n");
        const auto offer
            = m_offers.constFind({ component.project, component.name, component.type });
        if (offer == m_offers.cend()) {
            reply->append("        <noSuchComponent/>\n");
            ++summary->unknown;
        } else if (VersionNumber::compare(entries.at(offer->entry).version, component.version)
            <= 0) {
            reply->append("        <latest/>\n");
            ++summary->latest;
        } else {
            const CatalogueEntry &entry = entries.at(offer->entry);
            reply->append(offer->elements);
            bool unusable = false;
            const QString signature = m_catalogue->signature(entry, &unusable);
            if (!signature.isEmpty())
                appendElement(reply, "signature", signature);
            if (unusable)
                summary->unusableSignatures << entry.signatureFileName();
            ++summary->available;
        }
        reply->append("    </request>\n");
    }
    reply->append("</updates>\n");
    return true;
}
