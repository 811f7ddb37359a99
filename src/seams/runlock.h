#pragma once

#include <QString>

#include <memory>

/*
 * Keeps update runs apart: the lock of the user's download folder, so that two starts of one
 * user never meet, and the lock of the main application's folder, so that two users never
 * update one installation at once. Both are let go when the object goes, or with the process
 * however it ends.
 *
 *     RunLock lock;
 *     if (lock.acquire(Platform::runLockFile(), appFolder, RunLock::DefaultTimeout)
 *         != RunLock::Result::Locked)
 *         return ...;
 */
class RunLock
{
public:
    enum class Result { Locked, Busy, Failed };
    /// How long a start waits for the runs before it, in milliseconds.
    static constexpr int DefaultTimeout = 30000;

    RunLock();
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    /// Takes the lock file's lock, then appFolder's (none when empty), waiting up to timeoutMs
    /// in all. Busy when another run still holds one at the end, Failed when a lock cannot be
    /// made at all (errorText then says why); nothing is held unless the result is Locked.
    Result acquire(const QString &lockFile, const QString &appFolder, int timeoutMs,
        QString *errorText = nullptr);
    void release();

private:
    struct Handles;
    // One attempt at each lock; both are platform code.
    Result tryLockFile(const QString &lockFile, QString *errorText);
    Result tryLockFolder(const QString &appFolder, QString *errorText);

    std::unique_ptr<Handles> m_handles;
};
