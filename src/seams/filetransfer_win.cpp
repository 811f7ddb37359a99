#include "filetransfer.h"

#include <QDir>
#include <QFile>

#include <windows.h>

namespace {
LPCWSTR nativePath(const QString &path)
{
    return reinterpret_cast<LPCWSTR>(path.utf16());
}
} // namespace

bool FileTransfer::move(const QString &from, const QString &to)
{
    const QString source = QDir::toNativeSeparators(from);
    const QString destination = QDir::toNativeSeparators(to);
    // Without MOVEFILE_REPLACE_EXISTING an existing destination is refused; across volumes the
    // system copies and deletes the source itself.
    return ::MoveFileExW(nativePath(source), nativePath(destination), MOVEFILE_COPY_ALLOWED);
}

bool FileTransfer::linkOrCopy(const QString &from, const QString &to)
{
    const QString source = QDir::toNativeSeparators(from);
    const QString destination = QDir::toNativeSeparators(to);
    if (::CreateHardLinkW(nativePath(destination), nativePath(source), nullptr))
        return true;
    return QFile::copy(from, to);
}
