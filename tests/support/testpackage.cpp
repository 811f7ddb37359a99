#include "testpackage.h"

#include "deltabuilder.h"
#include "packagehash.h"

#include "zipwriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamWriter>

TestPackage &TestPackage::addPackageElement(const QList<Attribute> &attributes)
{
    m_elements.append({ QStringLiteral("package"), attributes });
    return *this;
}

TestPackage &TestPackage::addPackageElement(
    const QString &project, const QString &name, const QString &type)
{
    return addPackageElement({ { QStringLiteral("project"), project },
        { QStringLiteral("name"), name }, { QStringLiteral("type"), type } });
}

TestPackage &TestPackage::addFile(
    const QString &path, const QString &name, const QByteArray &contents, const QString &action)
{
    const QString entryName = path.isEmpty() ? name : path + QLatin1Char('/') + name;
    const QByteArray utf8 = entryName.toUtf8();
    m_entries.append(
        { EntryKind::File, utf8, contents, QString(), utf8.size() != entryName.size() });
    return addFileElement(path, name, action);
}

TestPackage &TestPackage::addFileElement(
    const QString &path, const QString &name, const QString &action)
{
    return addFileElement({ { QStringLiteral("name"), name }, { QStringLiteral("path"), path },
        { QStringLiteral("action"), action } });
}

TestPackage &TestPackage::addFileElement(const QList<Attribute> &attributes)
{
    m_elements.append({ QStringLiteral("file"), attributes });
    return *this;
}

TestPackage &TestPackage::addPatch(const QString &entryName, const QString &path,
    const QString &name, const QByteArray &base, const QByteArray &contents)
{
    QByteArray patch;
    QString errorText;
    if (!DeltaBuilder::makePatch(reinterpret_cast<const uchar *>(base.constData()),
            size_t(base.size()), reinterpret_cast<const uchar *>(contents.constData()),
            size_t(contents.size()), &patch, &errorText))
        qWarning("cannot make a patch: %s", qPrintable(errorText));
    const auto hex = [](const QByteArray &bytes) {
        PackageHash hash;
        hash.add(bytes.constData(), bytes.size());
        return QString::fromLatin1(hash.result().toHex());
    };
    addFileElement(path, name, QStringLiteral("add"));
    m_elements.append({ QStringLiteral("patch"),
        { { QStringLiteral("name"), name }, { QStringLiteral("path"), path },
            { QStringLiteral("entry"), entryName },
            { QStringLiteral("size"), QString::number(contents.size()) },
            { QStringLiteral("base"), hex(base) }, { QStringLiteral("result"), hex(contents) } } });
    return addEntry(entryName.toLatin1(), patch);
}

TestPackage &TestPackage::addEntry(
    const QByteArray &name, const QByteArray &contents, bool utf8Name)
{
    m_entries.append({ EntryKind::Data, name, contents, QString(), utf8Name });
    return *this;
}

TestPackage &TestPackage::addEntryFromFile(const QByteArray &name, const QString &sourceFile)
{
    m_entries.append({ EntryKind::Data, name, QByteArray(), sourceFile, false });
    return *this;
}

TestPackage &TestPackage::addDirectoryEntry(const QByteArray &name)
{
    const QByteArray directory = name.endsWith('/') ? name : name + '/';
    m_entries.append({ EntryKind::Directory, directory, QByteArray(), QString(), false });
    return *this;
}

TestPackage &TestPackage::addDescriptorEntry(const QString &name)
{
    m_entries.append({ EntryKind::Descriptor, name.toUtf8(), QByteArray(), QString(), false });
    return *this;
}

TestPackage &TestPackage::withMode(int unixMode)
{
    m_entries.last().mode = unixMode;
    return *this;
}

TestPackage &TestPackage::setDescriptorText(const QByteArray &text)
{
    m_descriptorText = text;
    m_handWritten = true;
    return *this;
}

QByteArray TestPackage::descriptorText() const
{
    if (m_handWritten)
        return m_descriptorText;
    QByteArray text;
    QXmlStreamWriter writer(&text);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("update"));
    for (const Element &element : m_elements) {
        writer.writeEmptyElement(element.tag);
        for (const Attribute &attribute : element.attributes)
            writer.writeAttribute(attribute.name, attribute.value);
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return text;
}

bool TestPackage::write(const QString &archivePath) const
{
    QDir().mkpath(QFileInfo(archivePath).absolutePath());
    QFile::remove(archivePath);
    ZipWriter zip;
    QString errorText;
    if (!zip.open(archivePath, &errorText))
        return false;
    const QByteArray descriptor = descriptorText();
    for (const Entry &entry : m_entries) {
        bool written = false;
        switch (entry.kind) {
        case EntryKind::Directory:
            written = zip.addDirectory(entry.name, &errorText);
            break;
        case EntryKind::Descriptor:
            written = zip.addData(entry.name, descriptor, &errorText);
            break;
        case EntryKind::Data:
        case EntryKind::File:
            written = entry.sourceFile.isEmpty()
                ? zip.addData(entry.name, entry.contents, &errorText,
                    entry.utf8Name ? ZipWriter::NameFlag::Utf8 : ZipWriter::NameFlag::None,
                    entry.mode)
                : zip.addFile(entry.name, entry.sourceFile, &errorText, entry.mode);
            break;
        }
        if (!written) {
            qWarning("TestPackage: %s", qPrintable(errorText));
            return false;
        }
    }
    return zip.close(&errorText);
}

QString TestPackage::descriptorEntryFor(const QString &linkPath)
{
    return linkPath.mid(1).chopped(4) + QLatin1String(".xml");
}
