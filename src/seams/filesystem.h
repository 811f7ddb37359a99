#pragma once

#include <QFile>
#include <QString>

#include <functional>

/*
 * Every change the installer makes to files goes through here, so that each result is checked
 * in one place, nothing follows a symbolic link, and tests can make any single operation fail
 * (the way the operating system would) or stop the process at a chosen change. Paths in a
 * confined folder (Folder::confine()) are reached from that open folder, never by name.
 */
class FileSystem
{
public:
    enum class Operation {
        Open,
        Write,
        Close,
        Rename,
        Link,
        Unlink,
        Mkdir,
        Rmdir,
        Chmod,
        Copy,
        Sync
    };
    enum class Kind { Missing, File, Folder, Link, Other };
    /// Called before each operation with its path (and second path for renames, links and
    /// copies); a non-zero result is the error number the operation then fails with.
    using FaultInjector
        = std::function<int(Operation operation, const QString &path, const QString &other)>;
    /// An open file; -1 when none.
    using Handle = int;

    /// Answers the free space of the file system that holds a path in place of the system.
    using SpaceReporter = std::function<qint64(const QString &path)>;

    /// Installs injector; an empty function restores plain operation.
    static void setFaultInjector(FaultInjector injector);
    /// Installs reporter; an empty function restores the system's answer.
    static void setSpaceReporter(SpaceReporter reporter);

    /// Creates or truncates path for writing, never through a link at its last component.
    static Handle create(const QString &path);
    /// Opens the plain file at path for reading, never through a link at its last component;
    /// the fault injector does not see reads.
    static Handle read(const QString &path);
    /// Writes all of data; a short write is a failure.
    static bool write(Handle handle, const char *data, qint64 size, const QString &path);
    /// Flushes the file's contents to the disk.
    static bool sync(Handle handle, const QString &path);
    /// Closes the file; its result counts (delayed write errors show up here).
    static bool close(Handle handle, const QString &path);

    /// Renames from to to, replacing a file at to. Fails across file systems (crossDevice()).
    static bool rename(const QString &from, const QString &to);
    /// Gives the file from the second name to; fails when to exists.
    static bool link(const QString &from, const QString &to);
    /// Removes a file or a link (never what a link points to).
    static bool unlink(const QString &path);
    /// Creates one folder; private folders get mode 0700.
    static bool makeFolder(const QString &path, bool isPrivate = false);
    /// Removes an empty folder.
    static bool removeFolder(const QString &path);
    /// Sets the permission flags of a file (not through a link).
    static bool setPermissions(const QString &path, QFile::Permissions permissions);
    /// Sets the Unix mode of a file (not through a link); changes nothing on Windows.
    static bool setMode(const QString &path, int mode);
    /// Copies the file from to the new file to (which must not exist), with its permission
    /// flags, and syncs it.
    static bool copy(const QString &from, const QString &to);
    /// Replaces the file at path by contents as one durable step: written and synced under
    /// path + ".new", renamed over path, folder synced. A crash leaves the old or the new file.
    static bool replaceFile(const QString &path, const QByteArray &contents);
    /// Makes the names in folder durable (after renames into or out of it).
    static bool syncFolder(const QString &folder);
    /// Makes everything written to the file system that holds path durable.
    static bool syncFileSystem(const QString &path);
    /// True when the system refuses this process a new file in folder (its permissions, a
    /// read-only file system); found by making a file there that never outlives the call, not
    /// by reading permission bits. Any other failure, and success, give false.
    static bool creationRefused(const QString &folder);

    /// What stands at path, links not followed.
    static Kind kindOf(const QString &path);
    /// The Unix mode of the plain file at path, links not followed; -1 when no plain file is
    /// there, and always on Windows, which keeps no modes.
    static int fileMode(const QString &path);
    /// The bits the process's umask keeps from new files; 0 on Windows.
    static int creationMask();
    /// The bytes an unprivileged user may still write to the file system that holds the
    /// existing path; -1 when the system cannot tell.
    static qint64 freeSpace(const QString &path);
    /// True when both paths name one and the same file (two links of it), links not followed.
    static bool sameFile(const QString &a, const QString &b);
    /// True when both existing paths lie on the same file system.
    static bool sameFileSystem(const QString &a, const QString &b);
    /// True when the last failure was a rename or link across file systems.
    static bool crossDevice();
    /// True when the last failure was a link the file system cannot make (across file systems,
    /// or links not supported or not allowed there); a copy must stand in.
    static bool linkImpossible();
    /// The system's description of the last failure.
    static QString errorText();

private:
    // Its operations fail and are failed the same way as these.
    friend class Folder;

    static bool injected(
        Operation operation, const QString &path, const QString &other = QString());
    static void fail(int error);
    // The system's own calls: bytes written or -1, and success, with errno set on failure.
    static qint64 writeSome(Handle handle, const char *data, qint64 size);
    static bool syncHandle(Handle handle);
    static bool closeHandle(Handle handle);
    /// Records errno as the failure when ok is false; returns ok.
    static bool succeeded(bool ok);
};
