#pragma once

#include <QString>

#include <memory>

/*
 * Keeps update runs apart: the lock of the user's download folder, so that two starts of one
 * user never meet, and the lock of the main application's folder, so that two users never
 * update one installation at once. Only a user who may change the folder can take or hold its
 * lock. Both are let go when the object goes, or with the process however it ends.
 *
 *     RunLock lock;
 *     if (lock.acquire(Platform::runLockFile(), appFolder, RunLock::DefaultTimeout)
 *         != RunLock::Result::Locked)
 *         return ...;
 */
class RunLock
{
public:
    enum class Result {
        Locked,
        /// Another run held a lock to the end; holder() names it where it could be read.
        Busy,
        /// A lock could not be made at all; the error text says why.
        Failed,
        /// The lock file's lock is held; appFolder's is not, since this user cannot change the
        /// folder and so cannot update it either.
        Unwritable
    };
    /// How long a start waits for the runs before it, in milliseconds.
    static constexpr int DefaultTimeout = 30000;

    RunLock();
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    /// Takes the lock file's lock, then appFolder's (none when empty), waiting up to timeoutMs
    /// in all, and writes this process's user and id into each. Busy when another run still
    /// holds one at the end, Failed when a lock cannot be made at all (errorText then says
    /// why), Unwritable at once when this user cannot change appFolder; nothing is held
    /// unless the result is Locked or Unwritable.
    Result acquire(const QString &lockFile, const QString &appFolder, int timeoutMs,
        QString *errorText = nullptr);
    void release();
    /// Who holds a lock: the user as Platform::userName() names one, and the process id.
    struct Holder
    {
        QString user;
        qint64 process = 0;
    };

    /// The run that held the lock a Busy result met; an empty user when it could not be read.
    Holder holder() const { return m_holder; }
    /// The text a lock holds while this process holds it: its user and its id, one a line.
    static QByteArray holderRecord();
    /// The holder a lock's text names; an empty user for any text not of that form.
    static Holder holderOf(const QByteArray &record);
#ifdef Q_OS_WIN
    /// The access list of the application folder's mutex, made from the folder's own access
    /// list (both as the system lays out an ACL): whom the folder's entries let add or write
    /// files gets every access, whom they deny it is denied every access, and nobody else
    /// gets any. Empty when it cannot be made.
    static QByteArray mutexAccessList(const QByteArray &folderAccessList);
#endif

private:
    struct Handles;
    // One attempt at each lock; both are platform code.
    Result tryLockFile(const QString &lockFile, QString *errorText);
    Result tryLockFolder(const QString &appFolder, QString *errorText);

    std::unique_ptr<Handles> m_handles;
    Holder m_holder;
};
