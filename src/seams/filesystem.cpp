#include "filesystem.h"

#include <cerrno>
#include <cstring>

namespace {
FileSystem::FaultInjector &faultInjector()
{
    static FileSystem::FaultInjector injector;
    return injector;
}

int &lastError()
{
    static int error = 0;
    return error;
}
} // namespace

void FileSystem::setFaultInjector(FaultInjector injector)
{
    faultInjector() = std::move(injector);
}

bool FileSystem::injected(Operation operation, const QString &path, const QString &other)
{
    if (!faultInjector())
        return false;
    const int error = faultInjector()(operation, path, other);
    if (error == 0)
        return false;
    fail(error);
    return true;
}

void FileSystem::fail(int error)
{
    lastError() = error;
    errno = error;
}

bool FileSystem::crossDevice()
{
    return lastError() == EXDEV;
}

QString FileSystem::errorText()
{
    return QString::fromLocal8Bit(std::strerror(lastError()));
}
