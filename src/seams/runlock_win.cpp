#include "runlock.h"

#include "filesystem.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSet>

#include <system_error>

#include <aclapi.h>
#include <windows.h>

struct RunLock::Handles
{
    HANDLE file = INVALID_HANDLE_VALUE;
    // The folder's lock file: who may open it for writing may change the folder, and it names
    // the holder.
    HANDLE folderFile = INVALID_HANDLE_VALUE;
    QString folderLockPath;
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

const wchar_t *nativePath(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

// Shared for reading only, so that a start that finds it held can read who holds it and
// nothing else can open it for writing.
HANDLE openLockFile(const QString &path, DWORD attributes)
{
    const QString native = QDir::toNativeSeparators(path);
    return CreateFileW(nativePath(native), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
        OPEN_ALWAYS, attributes, nullptr);
}

void writeHolder(HANDLE file)
{
    const QByteArray record = RunLock::holderRecord();
    DWORD written = 0;
    // Who holds the lock is only told to the next start: a failure here changes nothing else.
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER
        && SetEndOfFile(file))
        WriteFile(file, record.constData(), DWORD(record.size()), &written, nullptr);
}

RunLock::Holder readHolder(const QString &path)
{
    const HANDLE file = CreateFileW(nativePath(QDir::toNativeSeparators(path)), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return RunLock::Holder();
    char text[512];
    DWORD size = 0;
    const bool read = ReadFile(file, text, DWORD(sizeof(text)), &size, nullptr);
    CloseHandle(file);
    return read ? RunLock::holderOf(QByteArray(text, int(size))) : RunLock::Holder();
}

// The write access a folder's entry can grant: enough to add or replace a file.
constexpr ACCESS_MASK folderWrite
    = FILE_ADD_FILE | FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC | WRITE_OWNER;
} // namespace

QByteArray RunLock::mutexAccessList(const QByteArray &folderAccessList)
{
    // Those the folder's own entries let write get the mutex, those it denies writing are
    // denied it, first, as the system orders entries; entries only for what the folder's
    // children inherit do not apply to the folder itself.
    const auto *folder = reinterpret_cast<const ACL *>(folderAccessList.constData());
    struct Entry
    {
        bool allowed;
        PSID sid;
    };
    QVector<Entry> entries;
    DWORD size = sizeof(ACL);
    for (DWORD index = 0; folderAccessList.size() >= int(sizeof(ACL)) && index < folder->AceCount;
         ++index) {
        void *ace = nullptr;
        if (!GetAce(const_cast<ACL *>(folder), index, &ace))
            return QByteArray();
        const auto *header = static_cast<const ACE_HEADER *>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE
            || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            // Both kinds lay out their mask and the start of their SID alike.
            const auto *entry = static_cast<const ACCESS_ALLOWED_ACE *>(ace);
            if (!(entry->Mask & folderWrite))
                continue;
            const PSID sid = PSID(&entry->SidStart);
            entries.append({ header->AceType == ACCESS_ALLOWED_ACE_TYPE, sid });
            size += DWORD(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid));
        }
    }
    QByteArray list(int(size), '\0');
    auto *acl = reinterpret_cast<ACL *>(list.data());
    if (!InitializeAcl(acl, size, ACL_REVISION))
        return QByteArray();
    for (const bool allowed : { false, true }) {
        for (const Entry &entry : std::as_const(entries)) {
            if (entry.allowed != allowed)
                continue;
            const bool added = allowed
                ? AddAccessAllowedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, entry.sid)
                : AddAccessDeniedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, entry.sid);
            if (!added)
                return QByteArray();
        }
    }
    return list;
}

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
    if (m_handles->folderFile != INVALID_HANDLE_VALUE) {
        CloseHandle(m_handles->folderFile);
        m_handles->folderFile = INVALID_HANDLE_VALUE;
        // Fails, harmlessly, when another start opened it meanwhile.
        DeleteFileW(nativePath(QDir::toNativeSeparators(m_handles->folderLockPath)));
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
    const HANDLE file = openLockFile(lockFile, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
            m_holder = readHolder(lockFile);
            return Result::Busy;
        }
        if (errorText)
            *errorText = systemError(lockFile, error);
        return Result::Failed;
    }
    writeHolder(file);
    m_handles->file = file;
    return Result::Locked;
}

RunLock::Result RunLock::tryLockFolder(const QString &appFolder, QString *errorText)
{
    if (m_handles->mutex)
        return Result::Locked;
    const QString lockPath = appFolder + QStringLiteral("/.orvi-update.lock");
    if (m_handles->folderFile == INVALID_HANDLE_VALUE) {
        const HANDLE file = openLockFile(lockPath, FILE_ATTRIBUTE_HIDDEN);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
                m_holder = readHolder(lockPath);
                return Result::Busy;
            }
            if ((error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT)
                && FileSystem::creationRefused(appFolder))
                return Result::Unwritable;
            if (errorText)
                *errorText = systemError(lockPath, error);
            return Result::Failed;
        }
        m_handles->folderFile = file;
        m_handles->folderLockPath = lockPath;
    }
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
    // Only those who may change the folder may open the mutex: the folder's writers.
    PACL folderDacl = nullptr;
    PSECURITY_DESCRIPTOR folderSecurity = nullptr;
    const DWORD looked
        = GetNamedSecurityInfoW(nativePath(QDir::toNativeSeparators(canonical)), SE_FILE_OBJECT,
            DACL_SECURITY_INFORMATION, nullptr, nullptr, &folderDacl, nullptr, &folderSecurity);
    if (looked != ERROR_SUCCESS) {
        if (errorText)
            *errorText = systemError(appFolder, looked);
        return Result::Failed;
    }
    ACL_SIZE_INFORMATION sizes {};
    const QByteArray folderList
        = folderDacl && GetAclInformation(folderDacl, &sizes, sizeof(sizes), AclSizeInformation)
        ? QByteArray(reinterpret_cast<const char *>(folderDacl), int(sizes.AclBytesInUse))
        : QByteArray();
    LocalFree(folderSecurity);
    // A folder without an access list is open to everyone, and so is its mutex.
    QByteArray mutexList;
    if (folderDacl) {
        mutexList = mutexAccessList(folderList);
        if (mutexList.isEmpty()) {
            if (errorText)
                *errorText = systemError(appFolder, GetLastError());
            return Result::Failed;
        }
    }
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(
        &descriptor, TRUE, folderDacl ? reinterpret_cast<ACL *>(mutexList.data()) : nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes { sizeof(attributes), &descriptor, FALSE };
    const HANDLE mutex = CreateMutexW(&attributes, FALSE, nativePath(name));
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
    writeHolder(m_handles->folderFile);
    const QMutexLocker locker(&heldGuard);
    heldMutexes().insert(name);
    m_handles->mutex = mutex;
    m_handles->mutexName = name;
    return Result::Locked;
}
