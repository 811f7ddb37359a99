#include "catalogue.h"

#include "replyschema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>

namespace {

// The index's own names; its components' items are named as in the update reply.
constexpr char CatalogueElement[] = "catalogue";
constexpr char ComponentElement[] = "component";
constexpr char PackageElement[] = "package";
constexpr char DeltaElement[] = "delta";
constexpr char BaseAttribute[] = "base";

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

bool readComponent(QXmlStreamReader &reader, CatalogueEntry *entry)
{
    const QXmlStreamAttributes attributes = reader.attributes();
    entry->project = attributes.value(QLatin1String(ReplySchema::project)).toString();
    entry->name = attributes.value(QLatin1String(ReplySchema::name)).toString();
    entry->type = attributes.value(QLatin1String(ReplySchema::type)).toString();
    while (reader.readNextStartElement()) {
        const QStringView element = reader.name();
        if (element == QLatin1String(DeltaElement)) {
            CatalogueEntry::Delta delta;
            delta.base
                = reader.attributes().value(QLatin1String(BaseAttribute)).toString().trimmed();
            delta.package
                = reader.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
            if (delta.base.isEmpty() || !CatalogueEntry::isValidPackageName(delta.package))
                return false;
            entry->deltas.append(delta);
            continue;
        }
        // Unknown elements are skipped whole, so a later format can add some.
        const QString text = reader.readElementText(QXmlStreamReader::IncludeChildElements);
        if (element == QLatin1String(ReplySchema::version))
            entry->version = text.trimmed();
        else if (element == QLatin1String(PackageElement))
            entry->package = text.trimmed();
        else if (element == QLatin1String(ReplySchema::description))
            entry->description = text;
        else if (element == QLatin1String(ReplySchema::copyrights))
            entry->copyrights = text;
        else if (element == QLatin1String(ReplySchema::author))
            entry->author = text;
        else if (element == QLatin1String(ReplySchema::webpage))
            entry->webpage = text;
        else if (element == QLatin1String(ReplySchema::email))
            entry->email = text;
        else if (element == QLatin1String(ReplySchema::changelog))
            entry->changelog = text;
        else if (element == QLatin1String(ReplySchema::critical))
            entry->critical = text.trimmed() == QLatin1String(ReplySchema::criticalTrue);
        else if (element == QLatin1String(ReplySchema::timestamp)) {
            bool ok = true;
            entry->timestamp = text.trimmed().isEmpty() ? 0 : text.trimmed().toUInt(&ok);
            if (!ok)
                return false;
        }
    }
    return !reader.hasError();
}

} // namespace

QString Catalogue::indexFileName()
{
    return QStringLiteral("index.xml");
}

bool Catalogue::load(const QString &folder, bool missingIsEmpty, QString *errorText)
{
    m_entries.clear();
    QFile file(QDir(folder).filePath(indexFileName()));
    if (!file.exists() && missingIsEmpty)
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *errorText = tr("Cannot read %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return read(&file, file.fileName(), errorText);
}

bool Catalogue::read(QIODevice *device, const QString &fileName, QString *errorText)
{
    m_entries.clear();
    QXmlStreamReader reader(device);
    if (!reader.readNextStartElement() || reader.name() != QLatin1String(CatalogueElement)) {
        *errorText = tr("%1 is not a catalogue index").arg(fileName);
        return false;
    }
    while (reader.readNextStartElement()) {
        if (reader.name() != QLatin1String(ComponentElement)) {
            reader.skipCurrentElement();
            continue;
        }
        const qint64 line = reader.lineNumber();
        CatalogueEntry entry;
        if (!readComponent(reader, &entry) || entry.project.isEmpty() || entry.name.isEmpty()
            || entry.type.isEmpty() || entry.version.isEmpty()
            || !CatalogueEntry::isValidPackageName(entry.package)) {
            *errorText = reader.hasError()
                ? QStringLiteral("%1:%2: %3")
                      .arg(fileName)
                      .arg(reader.lineNumber())
                      .arg(reader.errorString())
                : tr("%1:%2: a component needs project, name, type, version, a package "
                     "file name ending in .zip and a decimal timestamp")
                      .arg(fileName)
                      .arg(line);
            m_entries.clear();
            return false;
        }
        insert(entry);
    }
    if (reader.hasError()) {
        *errorText = QStringLiteral("%1:%2: %3")
                         .arg(fileName)
                         .arg(reader.lineNumber())
                         .arg(reader.errorString());
        m_entries.clear();
        return false;
    }
    return true;
}

bool Catalogue::save(const QString &folder, QString *errorText) const
{
    QSaveFile file(QDir(folder).filePath(indexFileName()));
    if (!file.open(QIODevice::WriteOnly)) {
        *errorText = tr("Cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    QXmlStreamWriter writer(&file);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    using namespace ReplySchema;
    writer.writeStartElement(QLatin1String(CatalogueElement));
    for (const CatalogueEntry &entry : m_entries) {
        writer.writeStartElement(QLatin1String(ComponentElement));
        writer.writeAttribute(QLatin1String(project), entry.project);
        writer.writeAttribute(QLatin1String(name), entry.name);
        writer.writeAttribute(QLatin1String(type), entry.type);
        writer.writeTextElement(QLatin1String(version), entry.version);
        writer.writeTextElement(QLatin1String(PackageElement), entry.package);
        writer.writeTextElement(QLatin1String(description), entry.description);
        writer.writeTextElement(QLatin1String(copyrights), entry.copyrights);
        writer.writeTextElement(QLatin1String(author), entry.author);
        writer.writeTextElement(QLatin1String(webpage), entry.webpage);
        writer.writeTextElement(QLatin1String(email), entry.email);
        writer.writeTextElement(QLatin1String(changelog), entry.changelog);
        writer.writeTextElement(QLatin1String(critical),
            entry.critical ? QLatin1String(criticalTrue) : QLatin1String("false"));
        writer.writeTextElement(QLatin1String(timestamp), QString::number(entry.timestamp));
        for (const CatalogueEntry::Delta &delta : entry.deltas) {
            writer.writeStartElement(QLatin1String(DeltaElement));
            writer.writeAttribute(QLatin1String(BaseAttribute), delta.base);
            writer.writeCharacters(delta.package);
            writer.writeEndElement();
        }
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    if (writer.hasError() || !file.commit()) {
        *errorText = tr("Cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

const CatalogueEntry *Catalogue::find(
    const QString &project, const QString &name, const QString &type) const
{
    for (const CatalogueEntry &entry : m_entries) {
        if (entry.isComponent(project, name, type))
            return &entry;
    }
    return nullptr;
}

void Catalogue::insert(const CatalogueEntry &entry)
{
    for (CatalogueEntry &existing : m_entries) {
        if (existing.isComponent(entry.project, entry.name, entry.type)) {
            existing = entry;
            return;
        }
    }
    m_entries.append(entry);
}

void Catalogue::publish(const CatalogueEntry &entry)
{
    CatalogueEntry published = entry;
    const CatalogueEntry *existing = find(entry.project, entry.name, entry.type);
    if (existing && existing->version == entry.version) {
        for (const CatalogueEntry::Delta &delta : existing->deltas) {
            const bool replaced = std::any_of(entry.deltas.cbegin(), entry.deltas.cend(),
                [&delta](const CatalogueEntry::Delta &other) { return other.base == delta.base; });
            if (!replaced)
                published.deltas.append(delta);
        }
    }
    insert(published);
}
