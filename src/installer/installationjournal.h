#pragma once

#include "versionrecords.h"

#include <QString>
#include <QStringList>
#include <QVector>

/*
 * The undo record of one installation run, kept as the file "journal" in the download folder
 * (format in the README). Before a package changes anything below a root, its whole plan is
 * written and synced as one record; the last record says whether the run completed or was
 * rolled back. A journal without that record is unfinished: the next start undoes it before
 * anything else, and nothing it names is cleaned away meanwhile. Every undo looks at what is on
 * disk, so undoing a step that never ran, or undoing twice, changes nothing.
 */
class InstallationJournal
{
public:
    struct Step
    {
        enum class Kind {
            /// target did not exist; the payload is placed there.
            Create,
            /// target is moved to backup, then the payload placed there.
            Replace,
            /// target is moved to backup.
            Remove,
            /// target, placed earlier by the same package, is replaced or removed again.
            Overwrite,
            /// the folder target is created.
            Folder,
        };
        Kind kind = Kind::Create;
        QString target;
        QString backup;
        /// The name a copy takes beside target before it is renamed over it.
        QString temporary;
    };
    enum class State { None, Unfinished, Finished, Damaged };

    /// The journal of the download folder downloadFolder.
    explicit InstallationJournal(const QString &downloadFolder);

    /// Starts the journal of a new run. False when it cannot be written durably.
    bool begin();
    /// Appends the plan of one package and makes it durable. False when it could not be.
    bool addPackage(const QString &packageName, const QVector<Step> &steps);
    /// Writes the closing record: the run completed, with the versions it installed, or it
    /// was rolled back.
    bool finish(bool completed, const QVector<VersionRecords::Record> &installed = {});

    /// What the journal file in downloadFolder says.
    static State state(const QString &downloadFolder);
    /// The versions a completed journal in downloadFolder installed; none for any other.
    static QVector<VersionRecords::Record> installedVersions(const QString &downloadFolder);
    /// The steps an unfinished journal in downloadFolder recorded, in the order recorded.
    static QVector<Step> steps(const QString &downloadFolder);
    /// Undoes steps, last first, and goes on past failures. The result names every backup
    /// that could not be put back (it stays where it is) and every created file or folder
    /// that could not be removed; empty when the undo is complete. The first done steps are
    /// known to have been made: a backup missing for one of them is a failure too.
    static QStringList undo(const QVector<Step> &steps, int done = 0);

    /// The journal file of downloadFolder.
    static QString filePath(const QString &downloadFolder);
    /// The system's reason for the last failure to write.
    QString errorText() const { return m_errorText; }

private:
    bool write();

    QString m_downloadFolder;
    QByteArray m_text;
    QString m_errorText;
};
