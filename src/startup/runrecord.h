#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

/*
 * The result of one run for the main application that started it, kept as the file
 * "last-run.json" in the state folder (format in the README) and replaced as a whole, durably,
 * by every run that ends.
 */
class RunRecord
{
public:
    enum class Outcome {
        Relocated,
        RelocationFailed,
        UnsafeFolder,
        AnotherRun,
        LockFailed,
        InterruptedElsewhere,
        RecoveryFailed,
        QueryFailed,
        ChannelRefused,
        NoUpdates,
        FolderNotWritable,
        Cancelled,
        DownloadFailed,
        Installed,
        RolledBack,
        RollbackFailed,
        Error
    };
    /// One component on offer: the version the main application reported (empty when it
    /// reported none) and the one installed when the run ends.
    struct Component
    {
        QByteArray project;
        QByteArray name;
        QByteArray type;
        QByteArray before;
        QByteArray after;
    };

    /// The record of the run the main application named runId (empty when it named none).
    explicit RunRecord(QString runId = QString()) : m_runId(std::move(runId)) { }

    /// How the run ended, and why where it failed.
    void setOutcome(Outcome outcome, const QString &reason = QString());
    void setFailedPackage(const QString &name) { m_failedPackage = name; }
    void setComponents(const QVector<Component> &components) { m_components = components; }

    Outcome outcome() const { return m_outcome; }
    QString reason() const { return m_reason; }

    /// The file's contents for a run that ended at time with exitCode.
    QByteArray toJson(int exitCode, const QDateTime &time) const;
    /// Replaces the file in the state folder with the record of a run ending now with exitCode.
    /// False, with errorText(), when the state folder is missing or unsafe (someone else could
    /// read or plant the record) or the file could not be written.
    bool write(int exitCode);
    QString errorText() const { return m_errorText; }

    /// The record's path in the state folder.
    static QString filePath();
    /// The name of outcome in the file.
    static QString outcomeName(Outcome outcome);

private:
    QString m_runId;
    Outcome m_outcome = Outcome::Error;
    QString m_reason;
    QString m_failedPackage;
    QVector<Component> m_components;
    QString m_errorText;
};
