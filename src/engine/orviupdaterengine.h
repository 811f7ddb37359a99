#pragma once

#include "httprequestqueue.h"
#include "httpresponseheader.h"
#include "installationrun.h"
#include "packagefile.h"
#include "packagesignature.h"
#include "updatequery.h"
#include "updateserver.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QUrl>
#include <QVector>

class UpdateEntry;

/*
 * Carries one update run: the update query, the catalogue of available updates, the
 * download of their packages and the installation result. Start-up owns the one engine;
 * every dialog works on it through its slots, signals and read accessors.
 */
class OrviUpdaterEngine : public QObject
{
    Q_OBJECT

public:
    /// Creates the engine and the download folder (a failure shows up later as a file error).
    OrviUpdaterEngine();
    /// Deletes every entry of the catalogue.
    ~OrviUpdaterEngine() override;

    /// Asks the main application for its inventory and the update server for updates, and
    /// fills the catalogue. False when the query could not be completed; the user has been
    /// told where that applies.
    bool checkUpdates();
    /// True when the catalogue holds at least one entry.
    bool hasUpdates() const;

    /// A copy of the catalogue; the entries stay owned by the engine.
    QVector<UpdateEntry *> updates() const { return m_updates; }
    /// The installation details text for the summary.
    QString details() const { return m_details; }
    /// True once every package of the installation run was installed.
    bool installSucceeded() const { return m_installSucceeded; }
    /// How the installation run ended; NotRun before it.
    InstallationRun::Outcome installOutcome() const { return m_installOutcome; }

    /// Replaces the catalogue by entries (deleting the old ones) and takes ownership of them.
    void adoptUpdates(const QVector<UpdateEntry *> &entries);
    /// The download folder: the temporary folder followed by "/tupdates/".
    QString downloadFolder() const { return m_downloadFolder; }
    /// 0 idle or finished, 1 sizing, 2 downloading, 3 aborted.
    int downloadState() const { return m_downloadState; }
    /// Sets how long, in milliseconds, a download may receive nothing before it fails
    /// (60 seconds unless changed; tests shorten it).
    void setTransferTimeout(int ms) { m_http.setTransferTimeout(ms); }

    /// The keys a package's signature must be made with; the built-in keys unless changed.
    void setSigningKeys(const QList<PackageSignature::PublicKey> &keys) { m_signingKeys = keys; }
    /// Whether a package without a signature may be installed; only in builds made for
    /// unsigned packages unless changed (tests only).
    void setUnsignedPackagesAllowed(bool allowed) { m_unsignedAllowed = allowed; }
    /// Why the downloaded file of entry, whose PackageHash is fileHash, must not be unpacked;
    /// empty when it may be. A signed package is checked against the keys and the offer, and
    /// must not be older than the version last installed; an unsigned one passes only where
    /// unsigned packages are allowed.
    QString refusalOfPackage(const UpdateEntry &entry, const QByteArray &fileHash) const;

    /// The endpoint of the update query; built in, or from ORVI_UPDATE_SERVER.
    UpdateServer updateServer() const { return m_updateServer; }
    void setUpdateServer(const UpdateServer &server) { m_updateServer = server; }
    /// Shortens each of the update query's network waits (tests only).
    void setNetworkTimeout(int ms) { m_networkTimeout = ms; }
    /// Shortens the limit on the whole exchange with the update server (tests only).
    void setQueryTimeout(int ms) { m_queryTimeout = ms; }
    /// Shortens the wait for the main application's inventory (tests only).
    void setMainAppTimeout(int ms) { m_mainAppTimeout = ms; }

    /// The local file of a package: downloadFolder, "/", then the link's path.
    static QString packageFileName(const QString &downloadFolder, const QUrl &link);
    /// Why link cannot be downloaded into downloadFolder; empty when it can.
    static QString refusalOf(const QString &downloadFolder, const QUrl &link);

signals:
    void downloadProgress(int done);
    void downloadFile(const QString &name);
    void downloadFinished();
    void installProgress(int done);
    void installFile(const QString &name);
    void installFinished();
    void error(const QString &str);

public slots:
    void beginDownload();
    void abortDownload();
    void installUpdates();

private slots:
    void requestFinished(int id, bool error);
    void dataReadProgress(qint64 done, qint64 total);
    void responseHeaderReceived(const HttpResponseHeader &resp);

private:
    void clearUpdates();
    /// The link of entry index as a URL, its 8-bit text read byte for byte.
    QUrl packageLink(int index) const;
    /// Queues a change of host to the link's host, with its scheme and port.
    void queueHostOf(const QUrl &link);
    /// Opens the file of package m_current and queues its GET.
    void fetchPackage();
    /// Notes the validator of a GET's answer, and starts the file again when a resumed
    /// request is answered with the whole file.
    void takeGetHeader(const HttpResponseHeader &resp);
    /// Asks again for the current package after its transfer was cut short: for the rest of
    /// it when the server named a validator, else for all of it.
    void resumePackage();
    /// Reports text and removes the packages this run has stored so far.
    void failDownload(const QString &text);
    /// a + b, each and the sum held below a bound at which a percentage cannot overflow.
    static qint64 boundedSum(qint64 a, qint64 b);

    QTcpSocket m_socket;
    HttpRequestQueue m_http;
    QString m_details;
    PackageFile m_packageFile;
    QVector<UpdateEntry *> m_updates;
    int m_current = 0;
    QString m_downloadFolder;
    // 64-bit, so that packages over 2 GiB are counted correctly. m_bytesDone counts the
    // packages already complete, m_lastDone the one being fetched.
    qint64 m_lastDone = 0;
    qint64 m_bytesDone = 0;
    qint64 m_bytesTotal = 0;
    int m_requestId = -1;
    // Resuming the current package.
    static constexpr int MaxResumes = 3;
    int m_resumes = 0;
    qint64 m_resumeFrom = 0;
    QByteArray m_validator;
    int m_downloadState = 0;
    QList<PackageSignature::PublicKey> m_signingKeys = PackageSignature::builtInKeys();
    bool m_unsignedAllowed = PackageSignature::unsignedPackagesAllowed();
    bool m_installSucceeded = false;
    InstallationRun::Outcome m_installOutcome = InstallationRun::Outcome::NotRun;

    UpdateServer m_updateServer = UpdateServer::fromEnvironment();
    int m_networkTimeout = UpdateQuery::NetworkTimeout;
    int m_queryTimeout = UpdateQuery::QueryTimeout;
    int m_mainAppTimeout = UpdateQuery::MainAppTimeout;
};
