#include "archivestream.h"

#include "filesystem.h"

#include <algorithm>
#include <cstring>
#include <memory>

zlib_filefunc64_def ArchiveStream::functions()
{
    zlib_filefunc64_def functions {};
    functions.zopen64_file = &ArchiveStream::openFile;
    functions.zread_file = &ArchiveStream::readFile;
    functions.zwrite_file = &ArchiveStream::writeFile;
    functions.ztell64_file = &ArchiveStream::tellFile;
    functions.zseek64_file = &ArchiveStream::seekFile;
    functions.zclose_file = &ArchiveStream::closeFile;
    functions.zerror_file = &ArchiveStream::testErrorFile;
    functions.opaque = nullptr;
    return functions;
}

ArchiveStream::ArchiveStream(const QString &path) : m_file(path) { }

qint64 ArchiveStream::read(char *data, qint64 size)
{
    qint64 copied = 0;
    while (copied < size && m_position < m_size) {
        const Window *window = windowAt(m_position);
        if (!window)
            break;
        const qint64 offset = m_position - window->start;
        const qint64 length = std::min(size - copied, window->length - offset);
        std::memcpy(data + copied, window->bytes.data() + offset, size_t(length));
        copied += length;
        m_position += length;
    }
    return copied;
}

bool ArchiveStream::seek(qint64 offset, int origin)
{
    qint64 base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = m_position;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        base = m_size;
        break;
    default:
        return false;
    }
    if (offset > m_size - base || base + offset < 0)
        return false;
    m_position = base + offset;
    return true;
}

const ArchiveStream::Window *ArchiveStream::windowAt(qint64 position)
{
    Window *least = &m_windows.front();
    for (Window &window : m_windows) {
        if (window.start >= 0 && position >= window.start
            && position < window.start + window.length) {
            window.lastUse = ++m_uses;
            return &window;
        }
        if (window.lastUse < least->lastUse)
            least = &window;
    }
    // Windows start on multiples of their size, so neighbouring reads share them.
    least->start = position - position % windowSize;
    least->bytes.resize(size_t(windowSize));
    least->length = -1;
    if (m_file.seek(least->start))
        least->length = m_file.read(least->bytes.data(), windowSize);
    if (least->length <= position - least->start) {
        least->start = -1;
        least->lastUse = 0;
        m_failed = true;
        return nullptr;
    }
    least->lastUse = ++m_uses;
    return least;
}

voidpf ArchiveStream::openFile(voidpf, const void *fileName, int mode)
{
    if (!fileName || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    auto stream = std::unique_ptr<ArchiveStream>(
        new ArchiveStream(QFile::decodeName(static_cast<const char *>(fileName))));
    // Never through a link, and in the download folder from the folder opened at the start.
    const FileSystem::Handle handle = FileSystem::read(stream->m_file.fileName());
    if (handle < 0
        || !stream->m_file.open(
            handle, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle))
        return nullptr;
    stream->m_size = stream->m_file.size();
    // minizip owns the stream from here and hands it back to closeFile.
    return stream.release();
}

uLong ArchiveStream::readFile(voidpf, voidpf stream, void *data, uLong size)
{
    return uLong(
        static_cast<ArchiveStream *>(stream)->read(static_cast<char *>(data), qint64(size)));
}

uLong ArchiveStream::writeFile(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T ArchiveStream::tellFile(voidpf, voidpf stream)
{
    return ZPOS64_T(static_cast<ArchiveStream *>(stream)->m_position);
}

long ArchiveStream::seekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    // As with fseeko, the offset is two's complement, so steps back arrive as huge values.
    return static_cast<ArchiveStream *>(stream)->seek(static_cast<qint64>(offset), origin) ? 0 : -1;
}

int ArchiveStream::closeFile(voidpf, voidpf stream)
{
    delete static_cast<ArchiveStream *>(stream);
    return 0;
}

int ArchiveStream::testErrorFile(voidpf, voidpf stream)
{
    return static_cast<ArchiveStream *>(stream)->m_failed ? 1 : 0;
}
