#pragma once

#include "deltapackage.h"
#include "enginesettings.h"
#include "installationrun.h"
#include "packageacceptance.h"
#include "packagedownload.h"
#include "updatequeryclient.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

#include <memory>
#include <optional>
#include <vector>

class UpdateEntry;

/*
 * Carries one update run: the catalogue of available updates, from the update query through
 * the download of their packages to the installation result. Start-up owns the one engine;
 * every dialog works on it through its slots, signals and read accessors.
 */
class OrviUpdaterEngine : public QObject
{
    Q_OBJECT

public:
    /// Creates the engine and the download folder (a failure shows up later as a file error).
    explicit OrviUpdaterEngine(EngineSettings settings = EngineSettings());
    ~OrviUpdaterEngine() override;

    /// Asks the main application for its inventory and the update server for updates, and
    /// fills the catalogue. False when the query could not be completed (also, silently, when
    /// there is no main application folder); the user has been told where that applies.
    bool checkUpdates();
    /// The versions an earlier run's completed journal says it installed. The next
    /// checkUpdates() records each whose version is no higher than what the main application
    /// then reports, and drops the others: a journal is no proof of what is installed.
    void confirmVersions(const QVector<VersionRecords::Record> &versions)
    {
        m_unconfirmedVersions = versions;
    }
    /// True when the catalogue holds at least one entry.
    bool hasUpdates() const;

    /// False when the system refuses this user new files in the main application's folder (an
    /// installation for all users, started without the rights to change it); true without a
    /// folder, and when the folder takes a file or fails for another reason, which the
    /// installation then reports.
    bool canChangeAppFolder() const;

    /// True when the last query was refused because the server or its answer could not be
    /// trusted, which a blocked or forged channel causes and a plain outage does not.
    bool channelRefused() const { return m_channelRefused; }
    /// Why the last query's channel was refused, in the system's words; empty when it was not.
    QString channelRefusal() const { return m_channelRefusal; }

    /// The catalogue in reply order; the entries stay owned by the engine.
    QVector<UpdateEntry *> updates() const;
    /// The installation details text for the summary.
    QString details() const { return m_details; }
    /// True once every package of the installation run was installed.
    bool installSucceeded() const { return m_installSucceeded; }
    /// How the installation run ended; NotRun before it.
    InstallationRun::Outcome installOutcome() const { return m_installOutcome; }
    /// The package whose failure rolled the installation back, and why; empty unless one did.
    QString failedPackage() const { return m_failedPackage; }
    QString failureReason() const { return m_failureReason; }
    /// The component versions the main application reported to the last query.
    InventoryVersions reportedVersions() const { return m_reportedVersions; }
    /// The main application's folder; none when the command line named none.
    std::optional<QString> appRoot() const { return m_settings.appRoot; }
    /// The download folder: the temporary folder followed by "/tupdates/".
    QString downloadFolder() const { return m_downloadFolder; }
    /// Where the package download stands.
    PackageDownload::State downloadState() const { return m_download.state(); }

    /// Replaces the catalogue by entries (deleting the old ones) and takes ownership of them.
    void adoptUpdates(const QVector<UpdateEntry *> &entries);

signals:
    /// The percentage of the download over all packages.
    void downloadProgress(int done);
    /// The name of the update whose package is about to be fetched.
    void downloadFile(const QString &name);
    /// Every package is downloaded and accepted.
    void downloadFinished();
    /// The percentage of the installation run.
    void installProgress(int done);
    /// The name of the update about to be installed.
    void installFile(const QString &name);
    /// The installation run is over, successful or not.
    void installFinished();
    /// The download failed, for the reason str; nothing of it is kept.
    void error(const QString &str);

public slots:
    /// Downloads the package of every update of the catalogue.
    void beginDownload();
    /// Ends the download without a report; the packages it stored are removed.
    void abortDownload();
    /// Installs the downloaded packages, rolling all back after a failure; returns when the
    /// run is over.
    void installUpdates();

private:
    /// The box's text for a refused certificate of the update server.
    QString certificateText(const UpdateQueryClient::Reply &reply) const;
    /// Records the versions given to confirmVersions() that reported confirms.
    void recordConfirmedVersions(const InventoryVersions &reported);

    const EngineSettings m_settings;
    const QString m_downloadFolder;
    std::vector<std::unique_ptr<UpdateEntry>> m_updates;
    UpdateQueryClient m_query;
    PackageAcceptance m_acceptance;
    PackageDownload m_download;
    QString m_details;
    bool m_installSucceeded = false;
    bool m_channelRefused = false;
    QString m_channelRefusal;
    InstallationRun::Outcome m_installOutcome = InstallationRun::Outcome::NotRun;
    QString m_failedPackage;
    QString m_failureReason;
    InventoryVersions m_reportedVersions;
    QVector<VersionRecords::Record> m_unconfirmedVersions;
    /// The package folders the download's deltas prepared, by update.
    QHash<const UpdateEntry *, DeltaPackage::Prepared> m_prepared;
};
