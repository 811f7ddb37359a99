#include "packagefile.h"

#include "filesystem.h"
#include "folder.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <limits>

PackageFile::~PackageFile()
{
    if (m_worker.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_worker.join();
    }
}

bool PackageFile::open(OpenMode mode)
{
    // Only a file written from its start has a hash that matches its contents.
    resetHash();
    m_roomChecked = 0;
    m_folderPath = QFileInfo(fileName()).absolutePath();
    return QFile::open(mode | Truncate);
}

bool PackageFile::openIn(const Folder &folder, const QString &name)
{
    resetHash();
    m_roomChecked = 0;
    m_folderPath = QFileInfo(fileName()).absolutePath();
    // Whoever planted it meant the package to be written through it.
    if (folder.kindOf(name) == FileSystem::Kind::Link)
        folder.unlink(name);
    const FileSystem::Handle handle = folder.create(name);
    if (handle < 0) {
        setErrorString(folder.errorText());
        return false;
    }
    return QFile::open(handle, WriteOnly, AutoCloseHandle);
}

bool PackageFile::restart()
{
    resetHash();
    m_roomChecked = 0;
    return resize(0) && seek(0);
}

void PackageFile::resetHash()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    drain(lock);
    m_hash.reset();
}

QByteArray PackageFile::hash()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    drain(lock);
    return m_hash.result();
}

bool PackageFile::hasRoomFor(qint64 size)
{
    const QString &folder = m_folderPath;
    const qint64 available = FileSystem::freeSpace(folder);
    const qint64 room
        = available < 0 ? std::numeric_limits<qint64>::max() : available - FreeSpaceFloor;
    if (size > room) {
        m_roomChecked = 0;
        constexpr qint64 MiB = 1024 * 1024;
        setErrorString(QCoreApplication::translate("translation",
            "only %1 MiB are free on the disk of the download folder %2, and the updater "
            "leaves at least %3 MiB free there.",
            "nc")
                           .arg(qMax<qint64>(available, 0) / MiB)
                           .arg(folder)
                           .arg(FreeSpaceFloor / MiB));
        return false;
    }
    m_roomChecked = qMin(room, SpaceCheckInterval);
    return true;
}

qint64 PackageFile::writeData(const char *data, qint64 size)
{
    if (size > m_roomChecked && !hasRoomFor(size))
        return -1;
    m_roomChecked = qMax<qint64>(m_roomChecked - size, 0);
    const qint64 written = QFile::writeData(data, size);
    if (written <= 0)
        return written;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_worker.joinable())
        m_worker = std::thread(&PackageFile::hashPending, this);
    m_changed.wait(lock, [this] { return m_pendingBytes < MaxPending; });
    m_pending.emplace_back(data, qsizetype(written));
    m_pendingBytes += written;
    lock.unlock();
    m_changed.notify_all();
    return written;
}

void PackageFile::drain(std::unique_lock<std::mutex> &lock)
{
    m_changed.wait(lock, [this] { return m_pending.empty() && !m_hashing; });
}

void PackageFile::hashPending()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        if (m_pending.empty())
            return;
        const QByteArray piece = std::move(m_pending.front());
        m_pending.pop_front();
        m_hashing = true;
        lock.unlock();
        m_hash.add(piece.constData(), piece.size());
        lock.lock();
        m_hashing = false;
        m_pendingBytes -= piece.size();
        m_changed.notify_all();
    }
}
