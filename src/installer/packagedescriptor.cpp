#include "packagedescriptor.h"

#include <QXmlStreamReader>

PackageDescriptor PackageDescriptor::read(const QByteArray &bytes)
{
    QXmlStreamReader reader(bytes);
    return read(reader);
}

PackageDescriptor PackageDescriptor::read(QIODevice *device)
{
    QXmlStreamReader reader(device);
    return read(reader);
}

PackageDescriptor PackageDescriptor::read(QXmlStreamReader &reader)
{
    PackageDescriptor descriptor;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (reader.name() == QLatin1String("package")) {
            descriptor.m_packages.append(reader.attributes());
        } else if (reader.name() == QLatin1String("file")) {
            const QXmlStreamAttributes attributes = reader.attributes();
            descriptor.m_files.append({ attributes.value(QLatin1String("name")).toString(),
                attributes.value(QLatin1String("path")).toString(),
                attributes.value(QLatin1String("action")).toString().toLower() });
        } else if (reader.name() == QLatin1String("patch")) {
            const QXmlStreamAttributes attributes = reader.attributes();
            const auto text = [&attributes](const char *name) {
                return attributes.value(QLatin1String(name)).toString();
            };
            bool isNumber = false;
            const qint64 size = text("size").toLongLong(&isNumber);
            descriptor.m_patches.append({ text("name"), text("path"), text("entry"),
                QByteArray::fromHex(text("base").toLatin1()),
                QByteArray::fromHex(text("result").toLatin1()),
                isNumber && size >= 0 ? size : -1 });
        }
    }
    // A reader error never has line 0 to report, but a result must not look valid.
    if (reader.hasError())
        descriptor.m_errorLine = qMax<qint64>(1, reader.lineNumber());
    return descriptor;
}
