#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

/*
 * Builds update packages for tests: real zip archives with payload files, a package
 * descriptor, directory entries and, for the hostile cases, entries with any name at all.
 * Entries are written in the order they are added; descriptor elements likewise, inside one
 * root element.
 *
 *     TestPackage package;
 *     package.addPackageElement("orvi", "core", "app")
 *             .addFile("plugins", "a.dll", "new")
 *             .addFileElement("", "old.dll", "remove")
 *             .addDescriptorEntry("core.xml");
 *     package.write(downloadFolder + "/core.zip");
 */
class TestPackage
{
public:
    struct Attribute
    {
        QString name;
        QString value;
    };

    /// Appends a "package" element with exactly these attributes, in this order.
    TestPackage &addPackageElement(const QList<Attribute> &attributes);
    /// Appends a "package" element naming project, name and type.
    TestPackage &addPackageElement(
        const QString &project, const QString &name, const QString &type);
    /// Appends the payload entry path/name (just name when path is empty) holding contents,
    /// and a "file" element with name, path and action for it.
    TestPackage &addFile(const QString &path, const QString &name, const QByteArray &contents,
        const QString &action = QStringLiteral("add"));
    /// Appends a "file" element alone, without payload.
    TestPackage &addFileElement(const QString &path, const QString &name, const QString &action);
    /// Appends a "file" element with exactly these attributes (absent ones stay absent).
    TestPackage &addFileElement(const QList<Attribute> &attributes);

    /// Appends the patch entry entryName that makes contents from the installed base, as a delta
    /// package carries a changed file, with its "file" and "patch" elements (path/name).
    TestPackage &addPatch(const QString &entryName, const QString &path, const QString &name,
        const QByteArray &base, const QByteArray &contents);
    /// Appends an entry named name byte for byte, hostile names such as "../x" included; with
    /// utf8Name the entry is flagged as having a UTF-8 name.
    TestPackage &addEntry(
        const QByteArray &name, const QByteArray &contents, bool utf8Name = false);
    /// Appends an entry whose data is streamed from sourceFile when the archive is written,
    /// so that large payloads never sit in memory.
    TestPackage &addEntryFromFile(const QByteArray &name, const QString &sourceFile);
    /// Appends a directory entry; a trailing "/" is added to name when missing.
    TestPackage &addDirectoryEntry(const QByteArray &name);
    /// Appends the descriptor as an entry called name, at this point of the archive.
    TestPackage &addDescriptorEntry(const QString &name);
    /// Records the entry added last as made on Unix with unixMode; entries record no mode
    /// unless given one.
    TestPackage &withMode(int unixMode);

    /// Replaces the generated descriptor by text, for malformed or hand-written ones.
    TestPackage &setDescriptorText(const QByteArray &text);
    /// The descriptor the archive carries: the hand-written one, or XML built from the elements.
    QByteArray descriptorText() const;

    /// Writes the archive to archivePath, creating its folder; false on any failure.
    bool write(const QString &archivePath) const;

    /// The archive entry the installer reads the descriptor from for a download link whose
    /// path is linkPath: "/pkg/foo.zip" gives "pkg/foo.xml".
    static QString descriptorEntryFor(const QString &linkPath);

private:
    enum class EntryKind { Data, File, Directory, Descriptor };
    struct Entry
    {
        EntryKind kind;
        QByteArray name;
        QByteArray contents;
        QString sourceFile;
        bool utf8Name;
        int mode = -1;
    };
    struct Element
    {
        QString tag;
        QList<Attribute> attributes;
    };

    QList<Entry> m_entries;
    QList<Element> m_elements;
    QByteArray m_descriptorText;
    bool m_handWritten = false;
};
