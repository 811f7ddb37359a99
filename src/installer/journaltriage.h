#pragma once

#include <QString>

/*
 * Looks at what an earlier run left in the download folder before the recovery trusts it. A
 * journal that cannot be read (cut short, edited, replaced by a link) or that belongs to an
 * installation which no longer exists, and backups in "unwind" folders that no journal
 * accounts for, would otherwise end every start with an error or be cleaned away: they are
 * moved, with the package folders, into a folder beside the download folder, never deleted.
 * The unfinished journal of another installation that still exists is left as it is.
 */
class JournalTriage
{
public:
    enum class Finding {
        /// Nothing, or a journal the recovery can use.
        Usable,
        /// What was left is now in keptFolder.
        SetAside,
        /// The unfinished journal belongs to the installation in otherFolder.
        OtherInstallation,
        /// What must be set aside could not be moved (errorText says why).
        Failed
    };
    struct Result
    {
        Finding finding = Finding::Usable;
        QString keptFolder;
        QString otherFolder;
        QString errorText;
    };

    /// Sorts out what downloadFolder holds for a run over the main application in appFolder.
    static Result sortOut(const QString &downloadFolder, const QString &appFolder);

private:
    static bool hasUnaccountedBackups(const QString &downloadFolder);
    static Result setAside(const QString &downloadFolder);
};
