#include "foldermaker.h"

#include "filesystem.h"

#include <QDir>

#include <cerrno>
#include <cstring>

FolderMaker::FolderMaker(const QString &base) : m_base(base) { }

bool FolderMaker::make(const QString &folder)
{
    if (m_known.contains(folder))
        return true;
    if (folder.size() < m_base.size()) {
        // The base itself: made as the caller's, but never taken when a link stands there.
        const FileSystem::Kind kind = FileSystem::kindOf(folder);
        if (kind != FileSystem::Kind::Folder
            && (kind != FileSystem::Kind::Missing || !QDir().mkpath(folder))) {
            m_errorText = QString::fromLocal8Bit(
                std::strerror(kind == FileSystem::Kind::Missing ? ENOENT : ENOTDIR));
            return false;
        }
        m_known.insert(folder);
        return true;
    }
    if (!make(folder.left(folder.lastIndexOf(QLatin1Char('/')))))
        return false;
    switch (FileSystem::kindOf(folder)) {
    case FileSystem::Kind::Folder:
        break;
    case FileSystem::Kind::Missing:
        if (FileSystem::makeFolder(folder))
            break;
        Q_FALLTHROUGH();
    default:
        // A file or a link where a folder belongs: nothing is written through it.
        m_errorText = FileSystem::kindOf(folder) == FileSystem::Kind::Missing
            ? FileSystem::errorText()
            : QString::fromLocal8Bit(std::strerror(ENOTDIR));
        return false;
    }
    m_known.insert(folder);
    return true;
}
