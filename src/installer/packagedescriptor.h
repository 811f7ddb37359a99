#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QXmlStreamAttributes>

class QIODevice;
class QXmlStreamReader;

/*
 * What a package descriptor says, read without touching any file: the attributes of each
 * "package" element and the "file" elements in document order. Reading and applying are
 * apart so that a damaged descriptor fails the package before anything changes.
 *
 * A delta package's descriptor lists its files as the whole package's does, and adds a "patch"
 * element for each file the delta carries as a patch against the installed file:
 *   <patch name="x.dll" path="a/b" entry="orvi_core_app.patch.0" size="123"
 *          base="<BLAKE2b-512 of the installed file, hex>" result="<of the new file, hex>"/>
 * Readers of whole packages pass over it.
 */
class PackageDescriptor
{
public:
    struct File
    {
        QString name;
        QString path;
        /// Lower case: "add", "remove" or anything else, which leaves the target alone.
        QString action;

        bool operator==(const File &other) const
        {
            return name == other.name && path == other.path && action == other.action;
        }
    };

    struct Patch
    {
        QString name;
        QString path;
        /// The archive entry holding the zstd patch.
        QString entry;
        /// BLAKE2b-512 of the installed file the patch applies to, and of the file it makes.
        QByteArray base;
        QByteArray result;
        /// The size of the file it makes; -1 when not a number.
        qint64 size = -1;
    };

    /// Reads a whole descriptor. On malformed XML the result is not valid() and errorLine()
    /// names the line of the error; what was read before it is kept.
    static PackageDescriptor read(const QByteArray &bytes);
    /// The same, read from device as it goes, so that a large descriptor is never held whole.
    static PackageDescriptor read(QIODevice *device);

    bool isValid() const { return m_errorLine == 0; }
    qint64 errorLine() const { return m_errorLine; }
    /// The attributes of every "package" element, in document order.
    const QList<QXmlStreamAttributes> &packages() const { return m_packages; }
    const QList<File> &files() const { return m_files; }
    /// The "patch" elements of a delta package, in document order.
    const QList<Patch> &patches() const { return m_patches; }

private:
    static PackageDescriptor read(QXmlStreamReader &reader);

    QList<QXmlStreamAttributes> m_packages;
    QList<File> m_files;
    QList<Patch> m_patches;
    qint64 m_errorLine = 0;
};
