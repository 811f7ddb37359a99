#pragma once

#include "filesystem.h"

#include <QString>

/*
 * An open folder that names stay relative to: once opened (never through a link) and checked
 * on what was opened, renaming or replacing a folder above it cannot move what it reaches.
 * Failures are told by FileSystem::errorText(); on Unix its fault injector does not see
 * these operations, which never change anything below a root.
 */
class Folder
{
public:
    /// Whom the opened folder belongs to, and who else may change what is in it.
    struct Status
    {
        bool ownedByUser = false;
        bool ownedByRoot = false;
        bool writableByOthers = false;
        bool sticky = false;
    };

    Folder() = default;
    Folder(Folder &&other) noexcept;
    Folder &operator=(Folder &&other) noexcept;
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    ~Folder();

    /// Opens the folder at path; fails when it, as the last name in path, is a link.
    static Folder open(const QString &path);
    /// Opens the folder name in this one (a single name); fails when it is a link.
    Folder openFolder(const QString &name) const;

    /// True when a folder is open.
    bool isOpen() const;
    /// The path the folder was opened by, for messages.
    QString path() const { return m_path; }
    /// Owner and permissions of the opened folder itself; all false when none is open.
    Status status() const;

    /// Creates or truncates name (path relative to this folder) for writing; no link is
    /// followed on the way.
    FileSystem::Handle create(const QString &name) const;
    /// Opens the plain file name for reading; no link is followed on the way.
    FileSystem::Handle read(const QString &name) const;
    /// Creates the folder name; private folders get mode 0700.
    bool makeFolder(const QString &name, bool isPrivate = false) const;
    /// Renames from to to, both relative to this folder.
    bool rename(const QString &from, const QString &to) const;
    /// Removes the file or link name.
    bool unlink(const QString &name) const;
    /// What stands at name, links not followed.
    FileSystem::Kind kindOf(const QString &name) const;
    /// The system's description of this folder's last failure, in the words the system's
    /// own file dialogs and Qt's file classes use.
    QString errorText() const;

private:
    QString m_path;
    // Windows describes its own failures better than the C library's error numbers do.
    mutable QString m_errorText;
    // A descriptor where the system has them; on Windows, -1 and the path is used.
    int m_handle = -1;
    bool m_open = false;
};
