#include "packagefile.h"

bool PackageFile::open(OpenMode mode)
{
    // Only a file written from its start has a hash that matches its contents.
    m_hash.reset();
    return QFile::open(mode | Truncate);
}

bool PackageFile::restart()
{
    m_hash.reset();
    return resize(0) && seek(0);
}

qint64 PackageFile::writeData(const char *data, qint64 size)
{
    const qint64 written = QFile::writeData(data, size);
    m_hash.add(data, written);
    return written;
}
