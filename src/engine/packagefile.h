#pragma once

#include "packagehash.h"

#include <QByteArray>
#include <QFile>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

/*
 * The file a package is downloaded into. Every byte written to it also goes into the
 * package's hash, so the signature is checked the moment the download ends, without reading
 * a large file a second time. The hashing runs on a thread of its own, beside the transfer,
 * so that a fast link is not slowed down to the speed of the hash.
 */
class PackageFile : public QFile
{
public:
    PackageFile() = default;
    ~PackageFile() override;

    /// Empties the file to receive the package from its first byte again.
    bool restart();
    /// The BLAKE2b-512 of what was written since the file was opened or restarted; waits for
    /// the hashing to catch up.
    QByteArray hash();

    using QFile::open;
    bool open(OpenMode mode) override;

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

    PackageHash m_hash;
    std::thread m_worker;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_pending;
    qint64 m_pendingBytes = 0;
    bool m_hashing = false;
    bool m_stopping = false;
};
