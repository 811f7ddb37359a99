#pragma once

#include "packagehash.h"

#include <QByteArray>
#include <QFile>

class Folder;

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

/*
 * The file a package is downloaded into. Every byte written to it also goes into the
 * package's hash, so the signature is checked the moment the download ends, without reading
 * a large file a second time. The hashing runs on a thread of its own, beside the transfer,
 * so that a fast link is not slowed down to the speed of the hash. No write takes the free
 * space of the file's file system below a floor, so a download never fills the disk.
 */
class PackageFile : public QFile
{
public:
    /// The free space every write leaves on the file's file system.
    static constexpr qint64 FreeSpaceFloor = 64 * 1024 * 1024;

    PackageFile() = default;
    ~PackageFile() override;

    /// Empties the file to receive the package from its first byte again.
    bool restart();
    /// The BLAKE2b-512 of what was written since the file was opened or restarted; waits for
    /// the hashing to catch up.
    QByteArray hash();
    /// True when size more bytes leave FreeSpaceFloor free; false with the error string set
    /// to say so when they do not.
    bool hasRoomFor(qint64 size);

    using QFile::open;
    bool open(OpenMode mode) override;
    /// Opens name in folder for writing from its first byte, as a new file: a link standing
    /// there is removed, never followed, and no link on the way is followed either. Keeps the
    /// file name set before for messages.
    bool openIn(const Folder &folder, const QString &name);

protected:
    qint64 writeData(const char *data, qint64 size) override;

private:
    /// Waits until every byte handed over is hashed.
    void drain(std::unique_lock<std::mutex> &lock);
    /// Starts the hash again once every byte handed over is hashed.
    void resetHash();
    void hashPending();

    // Bytes written but not hashed yet are held up to this much; the writer waits beyond it.
    static constexpr qint64 MaxPending = 2 * 1024 * 1024;
    // The free space is asked again at the latest after this much was written, since other
    // programs write to the same disk.
    static constexpr qint64 SpaceCheckInterval = 16 * 1024 * 1024;

    PackageHash m_hash;
    std::thread m_worker;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_pending;
    qint64 m_pendingBytes = 0;
    bool m_hashing = false;
    bool m_stopping = false;
    /// Bytes that may still be written before the free space is asked again.
    qint64 m_roomChecked = 0;
    /// The folder of the file: a file opened from a descriptor forgets its name.
    QString m_folderPath;
};
