#pragma once

#include "catalogue.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <optional>

#include <sys/types.h>

/*
 * The catalogue the update server answers from: the index and the signature files held in
 * memory and read again only when their file changed. A file counts as unchanged while its
 * identity (device, inode, size, modification time to the nanosecond) is. Publishers replace
 * the index by renaming a complete new one over it, so a query gets the old catalogue or the
 * new one, never a part. An index that cannot be read leaves the catalogue read before in use.
 */
class CatalogueCache
{
public:
    /// folder holds the index and the signature files.
    explicit CatalogueCache(QString folder);

    /// Reads the index again if its file changed since the last read; logs each read and each
    /// failed one. False with errorText only when no index could be read yet.
    bool refresh(QString *errorText);
    /// The folder of the index, the packages and their signature files.
    const QString &folder() const { return m_folder; }
    /// The catalogue of the last index read.
    const Catalogue &catalogue() const { return m_catalogue; }
    /// Counts the index reads that changed the catalogue.
    int generation() const { return m_generation; }
    /// A package's signature file as the reply carries it.
    struct Signature
    {
        /// The file's text, empty without one.
        QString text;
        /// Set when the file exists but cannot go into a reply unchanged (not UTF-8,
        /// characters XML cannot carry, over 16 KiB); text is empty then.
        bool unusable = false;
        /// Changes whenever the file is read again, so that what is made of it can be kept.
        quint64 revision = 0;
    };
    /// The signature file of the catalogue entry at index. A file replaced in place is seen
    /// within a second; one published with a new index is seen at once.
    const Signature &signature(qsizetype index);
    /// The signature file fileName of the catalogue folder, read now (for the deltas, which are
    /// read with the index).
    Signature readSignature(const QString &fileName);

private:
    struct FileIdentity
    {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        time_t seconds = 0;
        long nanoseconds = 0;

        bool operator==(const FileIdentity &other) const;
        bool operator!=(const FileIdentity &other) const { return !(*this == other); }
    };
    struct SignatureFile
    {
        QString name;
        Signature signature;
        FileIdentity identity;
        // When the identity was last compared with the file's, on m_clock, and for which index.
        qint64 checkedAt = 0;
        int checkedGeneration = -1;
    };

    static FileIdentity identityOf(const QString &path);
    static FileIdentity identityOf(int descriptor);
    void readSignature(const QString &path, SignatureFile *file);

    const QString m_folder;
    const QString m_indexPath;
    Catalogue m_catalogue;
    bool m_loaded = false;
    int m_generation = 0;
    FileIdentity m_indexIdentity;
    // An index that failed once is not parsed again until it changes.
    std::optional<FileIdentity> m_failedIdentity;
    // One per catalogue entry, in the index's order.
    QList<SignatureFile> m_signatures;
    QElapsedTimer m_clock;
    quint64 m_signatureReads = 0;
};
