#include "runlock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

struct RunLock::Handles
{
    int file = -1;
    int folder = -1;
};

RunLock::RunLock() : m_handles(std::make_unique<Handles>()) { }

RunLock::~RunLock()
{
    release();
}

void RunLock::release()
{
    for (int *descriptor : { &m_handles->folder, &m_handles->file }) {
        if (*descriptor >= 0)
            ::close(*descriptor);
        *descriptor = -1;
    }
}

namespace {
// flock on a descriptor of its own: another open of the same path, in this process too, waits.
RunLock::Result lockDescriptor(int *held, const QString &path, int flags, QString *errorText)
{
    if (*held >= 0)
        return RunLock::Result::Locked;
    const int descriptor = ::open(QFile::encodeName(path).constData(), flags, 0600);
    if (descriptor < 0) {
        if (errorText)
            *errorText = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return RunLock::Result::Failed;
    }
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(descriptor);
        if (error == EWOULDBLOCK || error == EINTR)
            return RunLock::Result::Busy;
        if (errorText)
            *errorText = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
        return RunLock::Result::Failed;
    }
    *held = descriptor;
    return RunLock::Result::Locked;
}
} // namespace

RunLock::Result RunLock::tryLockFile(const QString &lockFile, QString *errorText)
{
    // Never through a link: the file lies in the user's private folder, checked before.
    return lockDescriptor(
        &m_handles->file, lockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, errorText);
}

RunLock::Result RunLock::tryLockFolder(const QString &appFolder, QString *errorText)
{
    // The folder itself, so that every user who can read it meets the same lock.
    return lockDescriptor(
        &m_handles->folder, appFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, errorText);
}
