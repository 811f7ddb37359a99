#pragma once

#include <QSet>
#include <QString>

#include <functional>
#include <vector>

/*
 * Unpacks a zip archive below a folder, entry by entry in archive order, streaming each
 * entry through one fixed buffer so that no entry is ever held in memory whole.
 */
class ArchiveExtractor
{
public:
    enum class Result {
        Extracted,
        /// The archive is missing, not a zip archive, empty, or its directory is damaged.
        CannotOpenArchive,
        /// The file for entryName() could not be created; fileErrorText() says why.
        CannotCreateFile,
        /// The entry could not be opened for reading, or its name would leave the folder.
        CannotExtractEntry,
        /// Reading the entry's data failed part way.
        CannotReadEntry,
    };
    using FileHandler = std::function<void(const QString &entryName)>;

    /// Bytes read from the archive at a time.
    static constexpr int bufferSize = 256 * 1024;

    ArchiveExtractor(const QString &archivePath, const QString &targetFolder);

    /// Extracts every entry: directory entries become folders, every other entry a file below
    /// the target folder, after which fileExtracted is called with the entry's name. Stops
    /// at the first failure; the archive is closed whatever the result.
    Result extractAll(const FileHandler &fileExtracted);

    /// The name of the entry the last failure concerns.
    QString entryName() const { return m_entryName; }
    /// The system's description of why the file for entryName() could not be created.
    QString fileErrorText() const { return m_fileErrorText; }

    /// True when name stays below the folder it is extracted into: no ".." segment, no
    /// leading "/", no drive prefix or other ":", no backslash, not empty.
    static bool isSafeEntryName(const QString &name);

private:
    void ensureFolder(const QString &folder);

    QString m_archivePath;
    QString m_targetFolder;
    QString m_entryName;
    QString m_fileErrorText;
    QSet<QString> m_knownFolders;
    std::vector<char> m_buffer;
};
