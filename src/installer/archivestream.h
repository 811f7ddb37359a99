#pragma once

#include <QFile>

#include <array>
#include <unzip.h>
#include <vector>

/*
 * The archive file as minizip reads it. minizip jumps between the central directory and each
 * entry's data and reads both in small pieces; a few cached windows of the file answer those
 * reads, so extracting costs a handful of system calls per window rather than several per
 * entry. Only the windows are ever in memory.
 */
class ArchiveStream
{
public:
    /// Bytes of the file one window holds.
    static constexpr qint64 windowSize = 64 * 1024;

    /// The functions for unzOpen2_64; its path is the file name encoded by QFile::encodeName.
    static zlib_filefunc64_def functions();

private:
    struct Window
    {
        qint64 start = -1;
        qint64 length = 0;
        quint64 lastUse = 0;
        std::vector<char> bytes;
    };

    explicit ArchiveStream(const QString &path);

    static voidpf ZCALLBACK openFile(voidpf opaque, const void *fileName, int mode);
    static uLong ZCALLBACK readFile(voidpf opaque, voidpf stream, void *data, uLong size);
    static uLong ZCALLBACK writeFile(voidpf opaque, voidpf stream, const void *data, uLong size);
    static ZPOS64_T ZCALLBACK tellFile(voidpf opaque, voidpf stream);
    static long ZCALLBACK seekFile(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin);
    static int ZCALLBACK closeFile(voidpf opaque, voidpf stream);
    static int ZCALLBACK testErrorFile(voidpf opaque, voidpf stream);

    qint64 read(char *data, qint64 size);
    bool seek(qint64 offset, int origin);
    const Window *windowAt(qint64 position);

    QFile m_file;
    qint64 m_size = 0;
    qint64 m_position = 0;
    quint64 m_uses = 0;
    bool m_failed = false;
    // The central directory, the entry being read, and one spare for reads across a boundary.
    std::array<Window, 3> m_windows;
};
