#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class Folder;

/*
 * Everything that differs between Windows and the other systems lives here, so
 * that no other code tests the operating system.
 */
class Platform
{
public:
    using DetachedStarter
        = std::function<bool(const QString &program, const QStringList &arguments)>;

    /// The updater's private scratch folder: on Windows the user's temporary folder, elsewhere
    /// "orvi-updater" in the user's cache folder ($XDG_CACHE_HOME, else ~/.cache), which
    /// survives a power loss and which no other user can reach.
    static QString tempFolder();
    /// The download folder: the scratch folder followed by "/tupdates/" (trailing slash kept).
    static QString downloadFolder();
    /// Creates the scratch and download folders (private to the user) where missing, and
    /// opens the download folder into opened and the scratch folder into scratch when given. Empty
    /// when it is safe to use; otherwise the translated reason the updater must not run: a folder
    /// on its way is a link, belongs to someone else or can be written by others (a folder above
    /// the scratch folder may belong to root, and may be writable by others when sticky).
    static QString prepareDownloadFolder(Folder *opened = nullptr, Folder *scratch = nullptr);
    /// The file whose lock keeps a user's update runs apart: in the scratch folder, beside the
    /// download folder, so that emptying that never touches it.
    static QString runLockFile();
    /// Where the updater keeps what it must remember between runs: on Windows "orvi-updater"
    /// in the application-data folder, elsewhere in the XDG state home ($XDG_STATE_HOME, else
    /// ~/.local/state). Empty when none can be found.
    static QString stateFolder();
    /// Creates the state folder (private to the user) where missing. Empty when it is safe to
    /// use; otherwise the translated reason the updater must not run, as for the download
    /// folder: someone else could freeze or clear what it remembers.
    static QString prepareStateFolder();
    /// The file name of the updater executable ("updater.exe" on Windows).
    static QString updaterFileName();
    /// The files the updater needs beside it to run from another folder, relative to its folder
    /// (some in subfolders); the updater comes first.
    static QStringList relocationFiles();
    /// A program path in the form the detached start expects: quoted as a whole on Windows.
    static QString quoteProgram(const QString &path);
    /// True when the file at path can be replaced by a rename over it while a program has it
    /// loaded; on Windows a running program or loaded library (".exe", ".dll") cannot.
    static bool replaceableInPlace(const QString &path);
    /// The user this process runs as, as the user would recognise it ("name (uid 1000)" on
    /// Unix, the account name on Windows).
    static QString userName();
    /// The per-user application-data folder: APPDATA as found in the process environment; on
    /// systems without it, the XDG data home. Empty when none can be found.
    static QString appDataFolder();
    /// True when filePath is one of the running updater's own files, which emptying the
    /// download folder must spare.
    static bool isOwnFile(const QString &filePath);
    /// The names isOwnFile() can be true for, unless the file is a link: a check by name
    /// spares resolving the path of every other file.
    static QStringList ownFileNames();

    /// Starts a program detached; false when it could not be started. Tests replace the starter.
    static bool startDetached(const QString &program, const QStringList &arguments);
    /// Starts the relocated copy of the updater detached, through the same starter. On Windows
    /// its search path holds only the system folders, so that it loads its libraries from its
    /// own folder or not at all.
    static bool startRelocatedCopy(const QString &program, const QStringList &arguments);
    /// Replaces the starter used by startDetached(); an empty function restores the real one.
    static void setDetachedStarter(DetachedStarter starter);

private:
    /// The value of the first "APPDATA=" element of the process environment; empty when none.
    static QString appDataFromEnvironment();
    static bool startDetachedProcess(
        const QString &program, const QStringList &arguments, bool systemPathOnly);
    /// The search path of a program that may load libraries only from its own folder and the
    /// system's; empty where the system has no such notion.
    static QString systemSearchPath();
};
