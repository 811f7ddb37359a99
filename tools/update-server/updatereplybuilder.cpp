#include "updatereplybuilder.h"

#include "catalogue.h"
#include "versionnumber.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QXmlStreamWriter>

#include <algorithm>

namespace {

// Far more than a minisign signature file, whose comments minisign keeps under 1 KiB each.
constexpr qint64 MaximumSignatureSize = 16 * 1024;

bool isXmlCharacter(uint c)
{
    return c == 0x9 || c == 0xa || c == 0xd || (c >= 0x20 && c <= 0xd7ff)
        || (c >= 0xe000 && c <= 0xfffd) || (c >= 0x10000 && c <= 0x10ffff);
}

// The signature file's text as it stands on disk now, so a package re-signed while the server
// runs is offered with its new signature. The file is the publisher's, not ours to vouch for:
// only text that the reply can carry unchanged is sent; otherwise *unusable is set and the
// offer goes out without a signature, as if the file were missing.
QString readSignature(const QString &path, bool *unusable)
{
    QFile file(path);
    if (!file.exists())
        return QString();
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.read(MaximumSignatureSize + 1);
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    const QList<uint> characters = text.toUcs4();
    const bool usable = file.error() == QFileDevice::NoError && !bytes.isEmpty()
        && bytes.size() <= MaximumSignatureSize && !decoder.hasError()
        && std::all_of(characters.cbegin(), characters.cend(), isXmlCharacter);
    if (!usable) {
        *unusable = true;
        return QString();
    }
    return text;
}

} // namespace

QByteArray UpdateReplyBuilder::build(const QList<InventoryParser::Component> &components,
    const Catalogue &catalogue, const QString &catalogueFolder, const QString &baseUrl,
    Summary *summary)
{
    const QDir folder(catalogueFolder);
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
            = catalogue.find(component.project, component.name, component.type);
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
            const QString signature
                = readSignature(folder.filePath(entry->signatureFileName()), &unusable);
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
