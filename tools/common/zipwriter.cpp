#include "zipwriter.h"

#include <QCoreApplication>
#include <QFile>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

constexpr qint64 PieceSize = 64 * 1024;
// The MS-DOS attribute that marks a directory entry for other unzip programs.
constexpr uLong DosDirectoryAttribute = 0x10;
// General purpose flag bit 11: the entry's name is UTF-8.
constexpr uLong Utf8NameFlag = 0x800;
// "Version made by": host 3 (Unix), whose external attributes hold the mode in their upper
// half, and zip format 4.5, which covers the larger entries.
constexpr uLong MadeOnUnix = (3 << 8) | 45;
constexpr uLong PlainFileType = 0100000;

} // namespace

int ZipWriter::modeOf(const QString &file)
{
#ifdef Q_OS_WIN
    Q_UNUSED(file)
    return noMode;
#else
    struct stat status;
    if (::stat(QFile::encodeName(file).constData(), &status) != 0)
        return noMode;
    return int(status.st_mode & 0777);
#endif
}

QString ZipWriter::folderOf(const QString &name)
{
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : name.left(slash);
}

QString ZipWriter::fileNameOf(const QString &name)
{
    return name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
}

ZipWriter::~ZipWriter()
{
    if (m_zip)
        zipClose(m_zip, nullptr);
}

bool ZipWriter::open(const QString &path, QString *errorText)
{
    m_path = path;
    const QByteArray encoded = QFile::encodeName(path);
    m_zip = zipOpen64(encoded.constData(), APPEND_STATUS_CREATE);
    if (!m_zip) {
        *errorText = tr("Cannot create %1").arg(path);
        return false;
    }
    return true;
}

bool ZipWriter::openEntry(
    const QByteArray &name, qint64 size, Kind kind, NameFlag flag, int unixMode, QString *errorText)
{
    zip_fileinfo info = {};
    info.tmz_date.tm_year = 1980;
    info.tmz_date.tm_mon = 0;
    info.tmz_date.tm_mday = 1;
    const bool directory = kind == Kind::Directory;
    info.external_fa = directory ? DosDirectoryAttribute : 0;
    const bool hasMode = !directory && unixMode != noMode;
    if (hasMode)
        info.external_fa = (PlainFileType | (uLong(unixMode) & 07777)) << 16;
    // Only entries that need it carry the larger format, so small archives stay plain zip.
    const int zip64 = size >= 0xffffffffLL ? 1 : 0;
    if (zipOpenNewFileInZip4_64(m_zip, name.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
            directory ? 0 : Z_DEFLATED, directory ? 0 : Z_BEST_COMPRESSION, 0, -MAX_WBITS,
            DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, hasMode ? MadeOnUnix : 0,
            flag == NameFlag::Utf8 ? Utf8NameFlag : 0, zip64)
        != ZIP_OK) {
        *errorText = tr("Cannot add %1 to %2").arg(QString::fromLatin1(name), m_path);
        return false;
    }
    return true;
}

bool ZipWriter::closeEntry(const QByteArray &name, QString *errorText)
{
    if (zipCloseFileInZip(m_zip) != ZIP_OK) {
        *errorText = tr("Cannot write %1 into %2").arg(QString::fromLatin1(name), m_path);
        return false;
    }
    return true;
}

bool ZipWriter::addData(const QByteArray &name, const QByteArray &contents, QString *errorText,
    NameFlag flag, int unixMode)
{
    if (!openEntry(name, contents.size(), Kind::Data, flag, unixMode, errorText))
        return false;
    if (zipWriteInFileInZip(m_zip, contents.constData(), static_cast<unsigned>(contents.size()))
        != ZIP_OK) {
        *errorText = tr("Cannot write %1 into %2").arg(QString::fromLatin1(name), m_path);
        zipCloseFileInZip(m_zip);
        return false;
    }
    return closeEntry(name, errorText);
}

bool ZipWriter::addFile(
    const QByteArray &name, const QString &sourceFile, QString *errorText, int unixMode)
{
    QFile source(sourceFile);
    if (!source.open(QIODevice::ReadOnly)) {
        *errorText = tr("Cannot read %1: %2").arg(sourceFile, source.errorString());
        return false;
    }
    if (!openEntry(name, source.size(), Kind::Data, NameFlag::None, unixMode, errorText))
        return false;
    QByteArray piece(PieceSize, Qt::Uninitialized);
    for (;;) {
        const qint64 read = source.read(piece.data(), PieceSize);
        if (read < 0) {
            *errorText = tr("Cannot read %1: %2").arg(sourceFile, source.errorString());
            zipCloseFileInZip(m_zip);
            return false;
        }
        if (read == 0)
            break;
        if (zipWriteInFileInZip(m_zip, piece.constData(), static_cast<unsigned>(read)) != ZIP_OK) {
            *errorText = tr("Cannot write %1 into %2").arg(QString::fromLatin1(name), m_path);
            zipCloseFileInZip(m_zip);
            return false;
        }
    }
    return closeEntry(name, errorText);
}

bool ZipWriter::addDirectory(const QByteArray &name, QString *errorText)
{
    return openEntry(name, 0, Kind::Directory, NameFlag::None, noMode, errorText)
        && closeEntry(name, errorText);
}

bool ZipWriter::close(QString *errorText)
{
    const int result = zipClose(m_zip, nullptr);
    m_zip = nullptr;
    if (result != ZIP_OK) {
        *errorText = tr("Cannot finish %1").arg(m_path);
        return false;
    }
    return true;
}

bool ZipWriter::closeInto(const QString &outputPath, bool written, QString *errorText)
{
    QString closeError;
    if (!close(&closeError) && written) {
        *errorText = closeError;
        written = false;
    }
    if (written) {
        QFile::remove(outputPath);
        if (!QFile::rename(m_path, outputPath)) {
            *errorText = tr("Cannot create %1").arg(outputPath);
            written = false;
        }
    }
    if (!written)
        QFile::remove(m_path);
    return written;
}
