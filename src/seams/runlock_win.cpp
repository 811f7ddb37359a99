#include "runlock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSet>

#include <system_error>

#include <windows.h>

struct RunLock::Handles
{
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE mutex = nullptr;
    QString mutexName;
};

namespace {
// A mutex is its holding thread's again at every wait, so that this process's own holds are
// counted here to keep a second lock in the same process waiting, as in any other.
QMutex heldGuard;
QSet<QString> &heldMutexes()
{
    static QSet<QString> names;
    return names;
}

QString systemError(const QString &path, DWORD error)
{
    return path + QStringLiteral(": ")
        + QString::fromStdString(std::system_category().message(int(error)));
}
} // namespace

RunLock::RunLock() : m_handles(std::make_unique<Handles>()) { }

RunLock::~RunLock()
{
    release();
}

void RunLock::release()
{
    if (m_handles->mutex) {
        ReleaseMutex(m_handles->mutex);
        CloseHandle(m_handles->mutex);
        const QMutexLocker locker(&heldGuard);
        heldMutexes().remove(m_handles->mutexName);
        m_handles->mutex = nullptr;
    }
    if (m_handles->file != INVALID_HANDLE_VALUE) {
        CloseHandle(m_handles->file);
        m_handles->file = INVALID_HANDLE_VALUE;
    }
}

RunLock::Result RunLock::tryLockFile(const QString &lockFile, QString *errorText)
{
    if (m_handles->file != INVALID_HANDLE_VALUE)
        return Result::Locked;
    // Opened without sharing: every other open fails until this handle goes.
    const HANDLE file
        = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(lockFile).utf16()),
            GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
            return Result::Busy;
        if (errorText)
            *errorText = systemError(lockFile, error);
        return Result::Failed;
    }
    m_handles->file = file;
    return Result::Locked;
}

RunLock::Result RunLock::tryLockFolder(const QString &appFolder, QString *errorText)
{
    if (m_handles->mutex)
        return Result::Locked;
    // One name for one folder however it is written, seen by every user's session.
    QString canonical = QFileInfo(appFolder).canonicalFilePath();
    if (canonical.isEmpty())
        canonical = QDir::cleanPath(QFileInfo(appFolder).absoluteFilePath());
    const QString name = QStringLiteral("Global\\orvi-updater-")
        + QString::fromLatin1(
            QCryptographicHash::hash(canonical.toLower().toUtf8(), QCryptographicHash::Sha256)
                .toHex());
    {
        const QMutexLocker locker(&heldGuard);
        if (heldMutexes().contains(name))
            return Result::Busy;
    }
    // No access list: another user's start must be able to wait on the same mutex.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes { sizeof(attributes), &descriptor, FALSE };
    const HANDLE mutex
        = CreateMutexW(&attributes, FALSE, reinterpret_cast<const wchar_t *>(name.utf16()));
    if (!mutex) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            return Result::Busy;
        if (errorText)
            *errorText = systemError(appFolder, error);
        return Result::Failed;
    }
    // An abandoned mutex is one whose run ended without letting go: the journal recovers it.
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return Result::Busy;
    }
    const QMutexLocker locker(&heldGuard);
    heldMutexes().insert(name);
    m_handles->mutex = mutex;
    m_handles->mutexName = name;
    return Result::Locked;
}
