#pragma once

#include <QString>

/*
 * What a recovery leaves in the download folder once the application is back (payloads never
 * placed, emptied backup folders, the closed journal) costs a file-system call per file to
 * remove: it is moved out of the way at once, into a folder beside the download folder, and
 * removed when the run's windows are closed, or at the end of a later run.
 */
class DiscardedFolders
{
public:
    /// Moves everything in downloadFolder but the running updater's own files into a new
    /// folder "tupdates-discarded-N" beside it, one rename for each name in downloadFolder;
    /// false when the folder cannot be made or something could not be moved.
    static bool discard(const QString &downloadFolder);
    /// Removes every discarded folder beside downloadFolder with all it holds, links removed
    /// as links and never followed. Failures are ignored: the next run tries again.
    static void removeAll(const QString &downloadFolder);

private:
    static QString parentOf(const QString &downloadFolder);
};
