#pragma once

#include "planstep.h"
#include "versionrecords.h"

#include <QString>
#include <QStringList>
#include <QVector>

/*
 * The undo record of one installation run, kept as the file "journal" in the download folder
 * (format in the README). Before a package changes anything below a root, its whole plan is
 * written and synced as one record; the last record says whether the run completed or was
 * rolled back. A journal without that record is unfinished: the next start undoes it before
 * anything else, and nothing it names is cleaned away meanwhile.
 */
class InstallationJournal
{
public:
    /// A step as the journal records it: its kind, target, backup and temporary.
    using Step = PlanStep;
    enum class State { None, Unfinished, Finished, Damaged };
    /// The folders a run changes: the main application's and the user's plug-in folder. A
    /// journal of the previous format names none.
    struct Folders
    {
        QString application;
        QString plugins;
    };

    /// What one reading of a journal found.
    struct Contents
    {
        State state = State::None;
        /// Empty for a journal of the previous format.
        Folders folders;
        /// The steps of an unfinished journal, in the order recorded.
        QVector<Step> steps;
        /// The versions a completed journal installed.
        QVector<VersionRecords::Record> installed;
    };
    /// A journal larger than this is no journal this updater wrote: it counts as damaged, and
    /// is never read.
    static constexpr qint64 largestJournal = qint64(64) * 1024 * 1024;

    /// The journal of the download folder downloadFolder.
    explicit InstallationJournal(const QString &downloadFolder);

    /// Starts the journal of a new run over folders. False when it cannot be written durably.
    bool begin(const Folders &folders);
    /// Appends the plan of one package and makes it durable. False when it could not be.
    bool addPackage(const QString &packageName, const QVector<Step> &steps);
    /// Writes the closing record: the run completed, with the versions it installed, or it
    /// was rolled back.
    bool finish(bool completed, const QVector<VersionRecords::Record> &installed = {});

    /// The journal file in downloadFolder, read once and line by line: memory grows with the
    /// steps it records, never with the file.
    static Contents read(const QString &downloadFolder);
    /// What the journal file in downloadFolder says.
    static State state(const QString &downloadFolder);
    /// The versions a completed journal in downloadFolder installed; none for any other.
    static QVector<VersionRecords::Record> installedVersions(const QString &downloadFolder);
    /// The steps an unfinished journal in downloadFolder recorded, in the order recorded.
    static QVector<Step> steps(const QString &downloadFolder);
    /// The folders the journal in downloadFolder belongs to; empty for a journal of the
    /// previous format or one that cannot be read.
    static Folders folders(const QString &downloadFolder);
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
