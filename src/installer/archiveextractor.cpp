#include "archiveextractor.h"

#include "archivestream.h"
#include "entryname.h"
#include "filesystem.h"

#include <QFile>

#include <memory>
#include <unzip.h>

namespace {
struct ArchiveCloser
{
    void operator()(void *archive) const { unzClose(archive); }
};
using ArchiveHandle = std::unique_ptr<void, ArchiveCloser>;

// General purpose flag bit 11: the entry name is UTF-8 rather than the legacy code page.
constexpr uLong utf8NameFlag = 0x800;
// The host byte of "version made by" that says the external attributes' upper half is a mode.
constexpr uLong unixHost = 3;
constexpr uLong fileTypeBits = 0170000;
constexpr uLong plainFileType = 0100000;

// The mode an entry made on Unix records for a plain file; -1 for any other entry.
int unixModeOf(const unz_file_info64 &info)
{
    const uLong mode = (info.external_fa >> 16) & 0xffff;
    if (((info.version >> 8) & 0xff) != unixHost || (mode & fileTypeBits) != plainFileType)
        return -1;
    return int(mode & 07777);
}

QString folderOf(const QString &filePath)
{
    return filePath.left(filePath.lastIndexOf(QLatin1Char('/')));
}
} // namespace

ArchiveExtractor::ArchiveExtractor(const QString &archivePath, const QString &targetFolder)
    : m_archivePath(archivePath), m_targetFolder(targetFolder), m_folders(targetFolder)
{
}

ArchiveExtractor::Result ArchiveExtractor::extractAll(const FileHandler &fileExtracted)
{
    m_entryName.clear();
    m_fileErrorText.clear();
    zlib_filefunc64_def functions = ArchiveStream::functions();
    const ArchiveHandle archive(
        unzOpen2_64(QFile::encodeName(m_archivePath).constData(), &functions));
    if (!archive)
        return Result::CannotOpenArchive;
    unz_global_info64 globalInfo;
    if (unzGetGlobalInfo64(archive.get(), &globalInfo) != UNZ_OK || globalInfo.number_entry == 0)
        return Result::CannotOpenArchive;
    m_buffer.resize(bufferSize);

    int next = UNZ_OK;
    do {
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(archive.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0)
            != UNZ_OK)
            return Result::CannotOpenArchive;
        // Sized from the entry itself, so names of any length are read whole.
        QByteArray rawName(static_cast<qsizetype>(info.size_filename), '\0');
        if (unzGetCurrentFileInfo64(
                archive.get(), nullptr, rawName.data(), rawName.size(), nullptr, 0, nullptr, 0)
            != UNZ_OK)
            return Result::CannotOpenArchive;
        m_entryName = (info.flag & utf8NameFlag) ? QString::fromUtf8(rawName)
                                                 : QString::fromLatin1(rawName);
        if (!EntryName::isSafe(m_entryName))
            return Result::CannotExtractEntry;
        if (!m_refusedFolder.isEmpty()
            && (m_entryName == m_refusedFolder
                || m_entryName.startsWith(m_refusedFolder + QLatin1Char('/'))))
            return Result::CannotExtractEntry;

        const QString path = m_targetFolder + m_entryName;
        if (m_entryName.endsWith(QLatin1Char('/'))) {
            if (!ensureFolder(path.chopped(1)))
                return Result::CannotCreateFile;
        } else {
            if (m_entryName.contains(QLatin1Char('/')) && !ensureFolder(folderOf(path)))
                return Result::CannotCreateFile;
            const Result result = extractEntry(archive.get(), info.uncompressed_size, path);
            if (result != Result::Extracted)
                return result;
            fileExtracted(m_entryName, unixModeOf(info));
        }
        next = unzGoToNextFile(archive.get());
    } while (next == UNZ_OK);
    if (next != UNZ_END_OF_LIST_OF_FILE)
        return Result::CannotOpenArchive;
    m_entryName.clear();
    return Result::Extracted;
}

ArchiveExtractor::Result ArchiveExtractor::extractEntry(
    void *archive, quint64 declared, const QString &path)
{
    const FileSystem::Handle file = FileSystem::create(path);
    if (file < 0) {
        m_fileErrorText = FileSystem::errorText();
        return Result::CannotCreateFile;
    }
    if (unzOpenCurrentFile(archive) != UNZ_OK) {
        FileSystem::close(file, path);
        return Result::CannotExtractEntry;
    }
    Result result = Result::Extracted;
    quint64 produced = 0;
    for (;;) {
        const int read
            = unzReadCurrentFile(archive, m_buffer.data(), static_cast<unsigned>(m_buffer.size()));
        if (read == 0)
            break;
        produced += quint64(read);
        // An entry inflating past its declared size would fill the disk the space check
        // measured for it.
        if (read < 0 || produced > declared) {
            result = Result::CannotReadEntry;
            break;
        }
        if (!FileSystem::write(file, m_buffer.data(), read, path)) {
            m_fileErrorText = FileSystem::errorText();
            result = Result::CannotCreateFile;
            break;
        }
    }
    // Closing the entry is where minizip compares the checksum.
    if (unzCloseCurrentFile(archive) != UNZ_OK && result == Result::Extracted)
        result = Result::CannotReadEntry;
    if (!FileSystem::close(file, path) && result == Result::Extracted) {
        m_fileErrorText = FileSystem::errorText();
        result = Result::CannotCreateFile;
    }
    return result;
}

bool ArchiveExtractor::declaredSize(const QString &archivePath, qint64 *total)
{
    *total = 0;
    zlib_filefunc64_def functions = ArchiveStream::functions();
    const ArchiveHandle archive(
        unzOpen2_64(QFile::encodeName(archivePath).constData(), &functions));
    if (!archive)
        return false;
    int next = unzGoToFirstFile(archive.get());
    while (next == UNZ_OK) {
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(archive.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0)
            != UNZ_OK)
            return false;
        *total += qint64(qMin<quint64>(info.uncompressed_size, quint64(1) << 50));
        next = unzGoToNextFile(archive.get());
    }
    return next == UNZ_END_OF_LIST_OF_FILE;
}

bool ArchiveExtractor::ensureFolder(const QString &folder)
{
    if (m_folders.make(folder))
        return true;
    m_fileErrorText = m_folders.errorText();
    return false;
}
