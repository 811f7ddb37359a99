#include "archiveextractor.h"

#include "archivestream.h"

#include <QDir>
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

QString folderOf(const QString &filePath)
{
    return filePath.left(filePath.lastIndexOf(QLatin1Char('/')));
}
} // namespace

ArchiveExtractor::ArchiveExtractor(const QString &archivePath, const QString &targetFolder)
    : m_archivePath(archivePath), m_targetFolder(targetFolder)
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
        if (!isSafeEntryName(m_entryName))
            return Result::CannotExtractEntry;

        const QString path = m_targetFolder + m_entryName;
        if (m_entryName.endsWith(QLatin1Char('/'))) {
            ensureFolder(path.chopped(1));
        } else {
            if (m_entryName.contains(QLatin1Char('/')))
                ensureFolder(folderOf(path));
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
                m_fileErrorText = file.errorString();
                return Result::CannotCreateFile;
            }
            if (unzOpenCurrentFile(archive.get()) != UNZ_OK)
                return Result::CannotExtractEntry;
            for (;;) {
                const int read = unzReadCurrentFile(
                    archive.get(), m_buffer.data(), static_cast<unsigned>(m_buffer.size()));
                if (read == 0)
                    break;
                if (read < 0) {
                    unzCloseCurrentFile(archive.get());
                    return Result::CannotReadEntry;
                }
                file.write(m_buffer.data(), read);
            }
            fileExtracted(m_entryName);
            unzCloseCurrentFile(archive.get());
        }
        next = unzGoToNextFile(archive.get());
    } while (next == UNZ_OK);
    if (next != UNZ_END_OF_LIST_OF_FILE)
        return Result::CannotOpenArchive;
    m_entryName.clear();
    return Result::Extracted;
}

bool ArchiveExtractor::isSafeEntryName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')))
        return false;
    if (name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char(':'))
        || name.contains(QChar(0)))
        return false;
    const QStringList segments = name.split(QLatin1Char('/'));
    return !segments.contains(QLatin1String(".."));
}

void ArchiveExtractor::ensureFolder(const QString &folder)
{
    if (m_knownFolders.contains(folder))
        return;
    QDir().mkpath(folder);
    m_knownFolders.insert(folder);
}
