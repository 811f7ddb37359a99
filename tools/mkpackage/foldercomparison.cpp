#include "foldercomparison.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStringDecoder>

#include <dirent.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

enum class Kind { File, Folder };

// Qt decodes file names as UTF-8 and passes over those it cannot, so they are looked for in
// the folder's raw listing.
bool findUndecodable(const QString &folder, QString *errorText)
{
    DIR *listing = ::opendir(QFile::encodeName(folder).constData());
    if (!listing) {
        *errorText = tr("Cannot read %1").arg(folder);
        return false;
    }
    bool decodable = true;
    while (const dirent *entry = decodable ? ::readdir(listing) : nullptr) {
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString name = decoder(QByteArray(entry->d_name));
        if (decoder.hasError()) {
            *errorText = tr("%1/%2: the name is not valid UTF-8").arg(folder, name);
            decodable = false;
        }
    }
    ::closedir(listing);
    return decodable;
}

bool listTree(const QString &givenRoot, QMap<QString, Kind> *tree, QString *errorText)
{
    const QString root = QDir(givenRoot).absolutePath();
    const QFileInfo rootInfo(root);
    if (!rootInfo.isDir()) {
        *errorText = tr("%1 is not a folder").arg(root);
        return false;
    }
    if (!findUndecodable(root, errorText))
        return false;
    const QDir rootDir(root);
    QDirIterator it(root,
        QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = rootDir.relativeFilePath(info.filePath());
        if (info.isSymLink()) {
            *errorText = tr("%1 is a symbolic link; a package carries plain files only")
                             .arg(info.filePath());
            return false;
        }
        if (info.isDir()) {
            if (!findUndecodable(info.filePath(), errorText))
                return false;
            tree->insert(relative, Kind::Folder);
        } else if (info.isFile())
            tree->insert(relative, Kind::File);
        else {
            *errorText = tr("%1 is not a plain file").arg(info.filePath());
            return false;
        }
    }
    return true;
}

// Streams both files so that large payloads never sit in memory.
bool sameContents(const QString &a, const QString &b, QString *errorText)
{
    QFile left(a);
    QFile right(b);
    if (left.size() != right.size())
        return false;
    if (!left.open(QIODevice::ReadOnly) || !right.open(QIODevice::ReadOnly)) {
        *errorText = tr("Cannot read %1: %2")
                         .arg(left.isOpen() ? b : a,
                             left.isOpen() ? right.errorString() : left.errorString());
        return false;
    }
    constexpr qint64 PieceSize = 64 * 1024;
    while (!left.atEnd()) {
        if (left.read(PieceSize) != right.read(PieceSize))
            return false;
    }
    return right.atEnd();
}

// The installer gives a replaced file its entry's execute bits, so a file that only became
// (or stopped being) executable must still be carried.
bool sameExecuteBits(const QString &a, const QString &b)
{
    constexpr QFile::Permissions executeBits = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return (QFile::permissions(a) & executeBits) == (QFile::permissions(b) & executeBits);
}

bool holdsFile(const QMap<QString, Kind> &tree, const QString &folder)
{
    const QString prefix = folder + QLatin1Char('/');
    for (auto it = tree.lowerBound(prefix); it != tree.cend() && it.key().startsWith(prefix);
         ++it) {
        if (it.value() == Kind::File)
            return true;
    }
    return false;
}

} // namespace

bool FolderComparison::compare(const QString &oldRoot, const QString &newRoot, QString *errorText)
{
    m_addedFiles.clear();
    m_changedFiles.clear();
    m_removedFiles.clear();
    m_newEmptyFolders.clear();
    m_removedFolders.clear();
    m_newFiles.clear();
    m_newFolders.clear();

    QMap<QString, Kind> oldTree;
    QMap<QString, Kind> newTree;
    if (!listTree(oldRoot, &oldTree, errorText) || !listTree(newRoot, &newTree, errorText))
        return false;

    const QDir oldDir(oldRoot);
    const QDir newDir(newRoot);
    for (auto it = newTree.cbegin(); it != newTree.cend(); ++it) {
        (it.value() == Kind::File ? m_newFiles : m_newFolders).append(it.key());
        const auto old = oldTree.constFind(it.key());
        if (it.value() == Kind::Folder) {
            if (old == oldTree.cend() && !holdsFile(newTree, it.key()))
                m_newEmptyFolders.append(it.key());
            continue;
        }
        if (old == oldTree.cend()) {
            m_addedFiles.append(it.key());
        } else if (old.value() == Kind::Folder) {
            *errorText = tr("%1 is a folder in the old version and a file in the new one; a "
                            "package cannot remove a folder")
                             .arg(it.key());
            return false;
        } else {
            const QString oldFile = oldDir.filePath(it.key());
            const QString newFile = newDir.filePath(it.key());
            QString readError;
            if (!sameContents(oldFile, newFile, &readError)) {
                if (!readError.isEmpty()) {
                    *errorText = readError;
                    return false;
                }
                m_changedFiles.append(it.key());
            } else if (!sameExecuteBits(oldFile, newFile)) {
                m_changedFiles.append(it.key());
            }
        }
    }
    for (auto it = oldTree.cbegin(); it != oldTree.cend(); ++it) {
        const auto current = newTree.constFind(it.key());
        if (it.value() == Kind::File) {
            // A file that became a folder is removed before the folder's files are added.
            if (current == newTree.cend() || current.value() == Kind::Folder)
                m_removedFiles.append(it.key());
        } else if (current == newTree.cend()) {
            m_removedFolders.append(it.key());
        }
    }
    return true;
}
