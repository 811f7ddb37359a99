#include "orviupdaterengine.h"

#include "filesystem.h"
#include "messageboxhandler.h"
#include "platform.h"
#include "updateentry.h"
#include "updatequery.h"
#include "versionnumber.h"

#include <QCoreApplication>
#include <QDir>

OrviUpdaterEngine::OrviUpdaterEngine(EngineSettings settings)
    : m_settings(std::move(settings))
    , m_downloadFolder(Platform::downloadFolder())
    , m_query(m_settings.updateServer, m_settings.serverTrust, m_settings.networkTimeout,
          m_settings.queryTimeout, { m_settings.signingKeys, m_settings.unsignedAllowed })
    , m_acceptance(m_settings.signingKeys, m_settings.unsignedAllowed,
          m_settings.appRoot.value_or(QString()))
    , m_download(
          m_downloadFolder,
          [this](const UpdateEntry &entry, const QByteArray &fileHash) {
              return m_acceptance.refusal(entry, fileHash);
          },
          m_settings.downloadLimits)
{
    QDir().mkpath(m_downloadFolder);
    if (m_settings.downloadFolder)
        m_download.setFolder(m_settings.downloadFolder);
    m_download.setDeltas(
        { [this](const UpdateEntry &entry) { return m_acceptance.hasDeltaBase(entry); },
            [this](const UpdateEntry &entry, const QByteArray &fileHash) {
                return m_acceptance.deltaRefusal(entry, fileHash);
            },
            [this](const UpdateEntry &entry, const QString &path) {
                DeltaPackage delta(entry, m_settings.appRoot.value_or(QString()), m_downloadFolder);
                DeltaPackage::Prepared prepared;
                if (!delta.apply(path, &prepared))
                    return false;
                m_prepared.insert(&entry, prepared);
                return true;
            } });
    connect(&m_download, &PackageDownload::downloadProgress, this,
        &OrviUpdaterEngine::downloadProgress);
    connect(&m_download, &PackageDownload::downloadFile, this, &OrviUpdaterEngine::downloadFile);
    connect(&m_download, &PackageDownload::downloadFinished, this,
        &OrviUpdaterEngine::downloadFinished);
    connect(&m_download, &PackageDownload::error, this, &OrviUpdaterEngine::error);
}

OrviUpdaterEngine::~OrviUpdaterEngine() = default;

void OrviUpdaterEngine::recordConfirmedVersions(const InventoryVersions &reported)
{
    QVector<VersionRecords::Record> confirmed;
    for (const VersionRecords::Record &record : std::as_const(m_unconfirmedVersions)) {
        const QByteArray now = reported.versionOf(record.project, record.name, record.type);
        if (!now.isEmpty()
            && VersionNumber::compare(QString::fromUtf8(record.version), QString::fromUtf8(now))
                <= 0)
            confirmed.append(record);
    }
    m_unconfirmedVersions.clear();
    // As after an install: a record that cannot be written only weakens the replay check.
    if (!confirmed.isEmpty())
        VersionRecords(Platform::stateFolder()).record(confirmed);
}

bool OrviUpdaterEngine::checkUpdates()
{
    if (!m_settings.appRoot)
        return false;
    const QByteArray output = UpdateQuery::runMainApp(
        UpdateQuery::commandLine(*m_settings.appRoot), m_settings.mainAppTimeout);
    m_reportedVersions
        = InventoryVersions::read(UpdateQuery::inventory(output).value_or(QByteArray()));
    recordConfirmedVersions(m_reportedVersions);
    m_acceptance.setReportedVersions(m_reportedVersions);
    const QByteArray nonce = UpdateQuery::newNonce();
    const QByteArray request = UpdateQuery::request(output, nonce);

    m_updates.clear();
    m_channelRefused = false;
    m_channelRefusal.clear();
    UpdateQueryClient::Reply reply = m_query.exchange(request,
        ComponentAnswers::expectedFor(UpdateQuery::inventory(output).value_or(QByteArray())));
    const QString title = QCoreApplication::translate("translation", "Check updates", "nc");
    switch (reply.outcome) {
    case UpdateQueryClient::Outcome::Received:
        m_updates = std::move(reply.entries);
        return true;
    case UpdateQueryClient::Outcome::ProxyFailed:
        MessageBoxHandler::critical(title,
            QCoreApplication::translate("translation",
                "The proxy server %1 did not connect the updater to the update "
                "server: %2. Check the proxy settings (https_proxy).",
                "nc")
                .arg(reply.proxy, reply.socketError),
            QMessageBox::Ok, QMessageBox::Ok);
        return false;
    case UpdateQueryClient::Outcome::ConnectFailed:
        MessageBoxHandler::critical(title,
            QCoreApplication::translate("translation",
                "Couldn't connect to update server. Check your internet connection.", "nc"),
            QMessageBox::Ok, QMessageBox::Ok);
        return false;
    case UpdateQueryClient::Outcome::CertificateRefused:
        m_channelRefused = true;
        m_channelRefusal = reply.certificateError;
        qWarning(
            "The update server's certificate was refused: %s.", qPrintable(reply.certificateError));
        MessageBoxHandler::critical(
            title, certificateText(reply), QMessageBox::Ok, QMessageBox::Ok);
        return false;
    case UpdateQueryClient::Outcome::AnswerRefused:
        // As a broken exchange: the user can do nothing else about it, only the exit code and
        // this line for whoever looks into it tell.
        qWarning("The update server's answer was refused: %s.", qPrintable(reply.refusal));
        m_channelRefused = true;
        m_channelRefusal = reply.refusal;
        break;
    case UpdateQueryClient::Outcome::ExchangeFailed:
        break;
    }
    MessageBoxHandler::critical(title,
        QCoreApplication::translate("translation",
            "An error occured while comunicating update server. Check your "
            "internet connection.",
            "nc"),
        QMessageBox::Ok, QMessageBox::Ok);
    return false;
}

QString OrviUpdaterEngine::certificateText(const UpdateQueryClient::Reply &reply) const
{
    const QString host = m_settings.updateServer.host();
    // Each problem its own text, so that a user can tell a network in the way from a clock.
    switch (reply.certificateProblem) {
    case UpdateQueryClient::CertificateProblem::OtherAuthority:
        return QCoreApplication::translate("translation",
            "The update server %1 presented a certificate from an authority the updater does "
            "not trust. The updater did not check for updates over this connection; a network "
            "that intercepts secure connections may be the cause.",
            "nc")
            .arg(host);
    case UpdateQueryClient::CertificateProblem::Expired:
        return QCoreApplication::translate("translation",
            "The certificate of the update server %1 has expired or is not valid yet. The "
            "updater did not check for updates over this connection. Check the date and time "
            "of this computer.",
            "nc")
            .arg(host);
    case UpdateQueryClient::CertificateProblem::OtherName:
        return QCoreApplication::translate("translation",
            "The update server %1 presented a certificate made for another server. The updater "
            "did not check for updates over this connection; a network that redirects secure "
            "connections may be the cause.",
            "nc")
            .arg(host);
    case UpdateQueryClient::CertificateProblem::Other:
        break;
    }
    return QCoreApplication::translate("translation",
        "The update server %1 could not prove its identity: %2. The updater did not "
        "check for updates over this connection; a network that intercepts secure "
        "connections may be the cause.",
        "nc")
        .arg(host, reply.certificateError);
}

bool OrviUpdaterEngine::hasUpdates() const
{
    return !m_updates.empty();
}

bool OrviUpdaterEngine::canChangeAppFolder() const
{
    return !m_settings.appRoot || !FileSystem::creationRefused(*m_settings.appRoot);
}

QVector<UpdateEntry *> OrviUpdaterEngine::updates() const
{
    QVector<UpdateEntry *> views;
    views.reserve(qsizetype(m_updates.size()));
    for (const std::unique_ptr<UpdateEntry> &entry : m_updates)
        views.append(entry.get());
    return views;
}

void OrviUpdaterEngine::adoptUpdates(const QVector<UpdateEntry *> &entries)
{
    m_updates.clear();
    for (UpdateEntry *entry : entries)
        m_updates.emplace_back(entry);
}

void OrviUpdaterEngine::beginDownload()
{
    m_prepared.clear();
    m_download.begin(updates());
}

void OrviUpdaterEngine::abortDownload()
{
    m_download.abort();
}

void OrviUpdaterEngine::installUpdates()
{
    InstallationRun run(updates(), m_settings.appRoot.value_or(QString()), m_downloadFolder,
        &m_details, &m_installSucceeded);
    run.setPrepared(&m_prepared);
    connect(&run, &InstallationRun::installFile, this, &OrviUpdaterEngine::installFile);
    connect(&run, &InstallationRun::installProgress, this, &OrviUpdaterEngine::installProgress);
    connect(&run, &InstallationRun::installFinished, this, &OrviUpdaterEngine::installFinished);
    run.run();
    m_installOutcome = run.outcome();
    m_failedPackage = run.failedPackage();
    m_failureReason = run.failureReason();
}
