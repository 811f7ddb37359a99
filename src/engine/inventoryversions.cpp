#include "inventoryversions.h"

#include "versionnumber.h"

#include <QXmlStreamReader>

namespace {
// The update server reads no more components from one inventory than this.
constexpr qsizetype MaximumComponents = 10000;
} // namespace

InventoryVersions InventoryVersions::read(const QByteArray &inventory)
{
    // The inventory is a sequence of elements; a root around it makes it one document, read
    // the way the update server reads it.
    QXmlStreamReader reader(
        QByteArrayLiteral("<inventory>") + inventory + QByteArrayLiteral("</inventory>"));
    InventoryVersions versions;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement
            || reader.name() != QLatin1String("component"))
            continue;
        if (versions.m_components.size() >= MaximumComponents)
            return InventoryVersions();
        const QXmlStreamAttributes attributes = reader.attributes();
        const Component component { attributes.value(QLatin1String("project")).toUtf8(),
            attributes.value(QLatin1String("name")).toUtf8(),
            attributes.value(QLatin1String("type")).toUtf8(),
            attributes.value(QLatin1String("version")).toUtf8() };
        if (!component.version.isEmpty())
            versions.m_components.append(component);
    }
    // The update server takes nothing from an inventory that is not well-formed either.
    return reader.hasError() ? InventoryVersions() : versions;
}

QByteArray InventoryVersions::versionOf(
    const QByteArray &project, const QByteArray &name, const QByteArray &type) const
{
    QByteArray newest;
    for (const Component &component : m_components) {
        if (component.project == project && component.name == name && component.type == type)
            newest = VersionNumber::newer(newest, component.version);
    }
    return newest;
}
