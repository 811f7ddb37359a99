#include "testpackage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamWriter>

#include <memory>
#include <zip.h>
#include <zlib.h>

namespace {
struct ZipCloser
{
    void operator()(void *archive) const { zipClose(archive, nullptr); }
};

// MS-DOS attribute bit that marks a directory entry for other unzip programs.
constexpr uLong dosDirectoryAttribute = 0x10;
// General purpose flag bit 11: the entry name is UTF-8.
constexpr uLong utf8NameFlag = 0x800;

bool writeEntry(void *archive, const QByteArray &name, bool directory, bool utf8Name,
    const QByteArray &contents, const QString &sourceFile)
{
    zip_fileinfo info {};
    info.tmz_date = { 0, 0, 12, 1, 0, 2020 };
    info.external_fa = directory ? dosDirectoryAttribute : 0;
    qint64 size = contents.size();
    QFile source(sourceFile);
    if (!sourceFile.isEmpty()) {
        if (!source.open(QIODevice::ReadOnly))
            return false;
        size = source.size();
    }
    const int zip64 = size >= 0xffffffffLL ? 1 : 0;
    if (zipOpenNewFileInZip4_64(archive, name.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
            directory ? 0 : Z_DEFLATED, directory ? 0 : Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS,
            DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 0, utf8Name ? utf8NameFlag : 0, zip64)
        != ZIP_OK)
        return false;
    bool ok = true;
    if (source.isOpen()) {
        QByteArray chunk;
        while (ok && !(chunk = source.read(1 << 20)).isEmpty())
            ok = zipWriteInFileInZip(archive, chunk.constData(), unsigned(chunk.size())) == ZIP_OK;
    } else if (!contents.isEmpty()) {
        ok = zipWriteInFileInZip(archive, contents.constData(), unsigned(contents.size()))
            == ZIP_OK;
    }
    return zipCloseFileInZip(archive) == ZIP_OK && ok;
}
} // namespace

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
    std::unique_ptr<void, ZipCloser> archive(
        zipOpen64(QFile::encodeName(archivePath).constData(), APPEND_STATUS_CREATE));
    if (!archive)
        return false;
    const QByteArray descriptor = descriptorText();
    for (const Entry &entry : m_entries) {
        const bool directory = entry.kind == EntryKind::Directory;
        const QByteArray &contents
            = entry.kind == EntryKind::Descriptor ? descriptor : entry.contents;
        if (!writeEntry(
                archive.get(), entry.name, directory, entry.utf8Name, contents, entry.sourceFile))
            return false;
    }
    return zipClose(archive.release(), nullptr) == ZIP_OK;
}

QString TestPackage::descriptorEntryFor(const QString &linkPath)
{
    return linkPath.mid(1).chopped(4) + QLatin1String(".xml");
}
