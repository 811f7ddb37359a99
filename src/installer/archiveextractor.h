#pragma once

#include "foldermaker.h"

#include <QString>

#include <functional>
#include <vector>

/*
 * Unpacks a zip archive below a folder, entry by entry in archive order, streaming each
 * entry through one fixed buffer so that no entry is ever held in memory whole. Every write
 * and close is checked, files are created without following links, and an entry counts only
 * when its checksum matches and it produced no more than the bytes it declared.
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
        /// The entry could not be opened for reading, its name would leave the folder, or it lies
        /// in the refused folder.
        CannotExtractEntry,
        /// Reading the entry's data failed part way, its checksum did not match, or it produced
        /// more bytes than it declared.
        CannotReadEntry,
    };
    /// Told of each file extracted, with the Unix mode its entry records (-1 when none).
    using FileHandler = std::function<void(const QString &entryName, int unixMode)>;

    /// Bytes read from the archive at a time.
    static constexpr int bufferSize = 256 * 1024;

    ArchiveExtractor(const QString &archivePath, const QString &targetFolder);

    /// Entries named folder or lying below it are refused (CannotExtractEntry).
    void setRefusedFolder(const QString &folder) { m_refusedFolder = folder; }

    /// Adds up the sizes the entries of the archive declare; false when it cannot be read.
    static bool declaredSize(const QString &archivePath, qint64 *total);

    /// Extracts every entry: directory entries become folders, every other entry a file below
    /// the target folder, after which fileExtracted is called with the entry's name and mode. Stops
    /// at the first failure; the archive is closed whatever the result.
    Result extractAll(const FileHandler &fileExtracted);

    /// The name of the entry the last failure concerns.
    QString entryName() const { return m_entryName; }
    /// The system's description of why the file for entryName() could not be created.
    QString fileErrorText() const { return m_fileErrorText; }

private:
    bool ensureFolder(const QString &folder);
    Result extractEntry(void *archive, quint64 declared, const QString &path);

    QString m_archivePath;
    QString m_targetFolder;
    QString m_entryName;
    QString m_fileErrorText;
    QString m_refusedFolder;
    FolderMaker m_folders;
    std::vector<char> m_buffer;
};
