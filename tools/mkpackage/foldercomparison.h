#pragma once

#include <QString>
#include <QStringList>

/*
 * What changed between two versions of a folder tree, as paths relative to the roots with
 * "/" between levels, each list sorted. Symbolic links are refused, since a package can only
 * carry plain files, and so is a folder that became a file (the package would have to remove
 * the folder first, which the installer cannot do).
 */
class FolderComparison
{
public:
    /// Compares oldRoot with newRoot; false with errorText when a tree cannot be read or holds
    /// something a package cannot express.
    bool compare(const QString &oldRoot, const QString &newRoot, QString *errorText);

    /// Files only in the new tree.
    const QStringList &addedFiles() const { return m_addedFiles; }
    /// Files in both trees whose contents or execute bits differ.
    const QStringList &changedFiles() const { return m_changedFiles; }
    /// Files only in the old tree.
    const QStringList &removedFiles() const { return m_removedFiles; }
    /// Folders of the new tree that hold no file at any depth and are new: a package cannot
    /// create them.
    const QStringList &newEmptyFolders() const { return m_newEmptyFolders; }
    /// Folders only in the old tree: a package empties them but cannot remove them.
    const QStringList &removedFolders() const { return m_removedFolders; }
    /// Every file and every folder of the new tree.
    const QStringList &newFiles() const { return m_newFiles; }
    const QStringList &newFolders() const { return m_newFolders; }

private:
    QStringList m_addedFiles;
    QStringList m_changedFiles;
    QStringList m_removedFiles;
    QStringList m_newEmptyFolders;
    QStringList m_removedFolders;
    QStringList m_newFiles;
    QStringList m_newFolders;
};
