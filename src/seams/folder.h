#pragma once

#include "filesystem.h"

#include <QString>
#include <QVector>

#include <memory>

/*
 * An open folder that names stay relative to: once opened (never through a link) and checked
 * on what was opened, renaming or replacing a folder above it cannot move what it reaches.
 * Failures are told by FileSystem::errorText(); on Unix its fault injector does not see
 * these operations, which never change anything below a root. A confined folder is where the
 * FileSystem seam starts for every path in it.
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

    /// A name in a folder and what stands there, links not followed.
    struct Entry
    {
        QString name;
        FileSystem::Kind kind = FileSystem::Kind::Missing;
    };

    /// How the system's calls reach a name without following a link on the way: on Unix the
    /// open folder that holds it and its last name; on Windows, which keeps no folder open
    /// here, its path.
    class Place
    {
    public:
        /// path, reached by its name as any path outside an open folder is.
        explicit Place(const QString &path);
        Place(Place &&other) noexcept;
        Place(const Place &) = delete;
        Place &operator=(const Place &) = delete;
        Place &operator=(Place &&) = delete;
        ~Place();

        /// False when a folder on the way could not be entered; FileSystem::errorText() says why.
        bool isValid() const { return m_valid; }
        /// The folder that holds the name: a descriptor, or the system's current-folder value.
        int folder() const { return m_folder; }
        /// The name in the system's encoding: the last name, or a whole path.
        const char *name() const { return m_name.constData(); }
        /// The path, for the systems that reach everything by path.
        QString path() const { return m_path; }

    private:
        friend class Folder;
        Place() = default;

        int m_folder = -1;
        bool m_owned = false;
        bool m_valid = false;
        QByteArray m_name;
        QString m_path;
    };

    Folder() = default;
    Folder(Folder &&other) noexcept;
    Folder &operator=(Folder &&other) noexcept;
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
    ~Folder();

    /// From now on every path at or below path is reached from folder (see place()) by open(),
    /// reach() and so by every operation of the FileSystem seam, so that a folder in it swapped
    /// for a link after folder was checked leads nowhere else. The fault injector still sees
    /// the paths. A null folder ends this for path.
    static void confine(std::shared_ptr<const Folder> folder, const QString &path);
    /// Where path is reached: at or below a confined folder from that folder, elsewhere by name.
    static Place reach(const QString &path);
    /// Opens the folder at path; fails when it, as the last name in path, is a link, and at or
    /// below a confined folder when any folder on the way from that one is.
    static Folder open(const QString &path);
    /// Opens the folder relative (names separated by "/") below this one, entering each folder
    /// on the way from the one above it; fails when any of them is a link (on Windows, a
    /// reparse point).
    Folder openFolder(const QString &relative) const;
    /// Where relative, a path below this folder (empty for the folder itself), is reached: the
    /// folders on the way are entered one by one from this one, and refused when one is a link
    /// (on Windows, a reparse point), so that a folder swapped for a link after any check
    /// leads nowhere else.
    Place place(const QString &relative) const;

    /// True when a folder is open.
    bool isOpen() const;
    /// The path the folder was opened by, for messages.
    QString path() const { return m_path; }
    /// Owner and permissions of the opened folder itself; all false when none is open.
    Status status() const;

    /// Creates or truncates name (path relative to this folder) for writing, new files with the
    /// Unix mode; no link is followed on the way.
    FileSystem::Handle create(const QString &name, int mode = 0644) const;
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
    /// What this folder holds, without "." and "..", in no particular order.
    QVector<Entry> entries() const;
    /// The system's description of this folder's last failure, in the words the system's
    /// own file dialogs and Qt's file classes use.
    QString errorText() const;

private:
    static Folder openByName(const QString &path);

    QString m_path;
    // Windows describes its own failures better than the C library's error numbers do.
    mutable QString m_errorText;
    // A descriptor where the system has them; on Windows, -1 and the path is used.
    int m_handle = -1;
    bool m_open = false;
};
