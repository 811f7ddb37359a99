#include "updatereplybuilder.h"

#include "cataloguecache.h"
#include "versionnumber.h"

#include <QXmlStreamWriter>

QByteArray UpdateReplyBuilder::build(const QList<InventoryParser::Component> &components,
    CatalogueCache &catalogue, const QString &baseUrl, Summary *summary)
{
    QString base = baseUrl;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);

    QByteArray reply;
    QXmlStreamWriter writer(&reply);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("updates"));
    for (const InventoryParser::Component &component : components) {
        writer.writeStartElement(QStringLiteral("request"));
        writer.writeAttribute(QStringLiteral("project"), component.project);
        writer.writeAttribute(QStringLiteral("name"), component.name);
        writer.writeAttribute(QStringLiteral("type"), component.type);
        const CatalogueEntry *entry
            = catalogue.catalogue().find(component.project, component.name, component.type);
        if (!entry) {
            writer.writeEmptyElement(QStringLiteral("noSuchComponent"));
            ++summary->unknown;
        } else if (VersionNumber::compare(entry->version, component.version) <= 0) {
            writer.writeEmptyElement(QStringLiteral("latest"));
            ++summary->latest;
        } else {
            writer.writeTextElement(QStringLiteral("version"), entry->version);
            writer.writeTextElement(QStringLiteral("description"), entry->description);
            writer.writeTextElement(QStringLiteral("copyrights"), entry->copyrights);
            writer.writeTextElement(QStringLiteral("author"), entry->author);
            writer.writeTextElement(QStringLiteral("webpage"), entry->webpage);
            writer.writeTextElement(QStringLiteral("email"), entry->email);
            writer.writeTextElement(QStringLiteral("changelog"), entry->changelog);
            writer.writeTextElement(
                QStringLiteral("link"), base + QLatin1Char('/') + entry->package);
            writer.writeTextElement(QStringLiteral("critical"),
                entry->critical ? QStringLiteral("true") : QStringLiteral("false"));
            writer.writeTextElement(QStringLiteral("timestamp"), QString::number(entry->timestamp));
            bool unusable = false;
            const QString signature = catalogue.signature(*entry, &unusable);
            if (!signature.isEmpty())
                writer.writeTextElement(QStringLiteral("signature"), signature);
            if (unusable)
                summary->unusableSignatures << entry->signatureFileName();
            ++summary->available;
        }
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return reply;
}
