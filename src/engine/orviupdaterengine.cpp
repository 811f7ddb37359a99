#include "orviupdaterengine.h"

#include "installationrun.h"
#include "mainapppaths.h"
#include "messageboxhandler.h"
#include "packageinstaller.h"
#include "platform.h"
#include "replyreader.h"
#include "systemproxy.h"
#include "trustedcomment.h"
#include "updateentry.h"
#include "versionnumber.h"
#include "versionrecords.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>

#include <limits>

OrviUpdaterEngine::OrviUpdaterEngine() : m_downloadFolder(Platform::downloadFolder())
{
    QDir().mkpath(m_downloadFolder);
    m_http.setProxyFactory(new SystemProxy);
    connect(&m_http, &HttpRequestQueue::requestFinished, this, &OrviUpdaterEngine::requestFinished);
    connect(
        &m_http, &HttpRequestQueue::dataReadProgress, this, &OrviUpdaterEngine::dataReadProgress);
    connect(&m_http, &HttpRequestQueue::responseHeaderReceived, this,
        &OrviUpdaterEngine::responseHeaderReceived);
}

OrviUpdaterEngine::~OrviUpdaterEngine()
{
    clearUpdates();
}

bool OrviUpdaterEngine::checkUpdates()
{
    const std::optional<QString> root = MainAppPaths::rootFolder(QCoreApplication::arguments());
    if (!root)
        return false;
    const QByteArray request = UpdateQuery::request(
        UpdateQuery::runMainApp(UpdateQuery::commandLine(*root), m_mainAppTimeout));

    const QString title = QCoreApplication::translate("translation", "Check updates", "nc");
    clearUpdates();
    // One limit for the whole exchange, so that a server trickling bytes cannot hold the run.
    const QDeadlineTimer deadline(m_queryTimeout);
    const auto wait = [this, &deadline] {
        return int(qBound(qint64(0), deadline.remainingTime(), qint64(m_networkTimeout)));
    };
    m_socket.setReadBufferSize(UpdateQuery::ReadChunkSize);
    const QNetworkProxy proxy
        = SystemProxy().tunnelTo(m_updateServer.host(), m_updateServer.port());
    m_socket.setProxy(proxy);
    m_socket.connectToHost(m_updateServer.host(), m_updateServer.port(), QIODevice::ReadWrite);
    if (!m_socket.waitForConnected(wait())) {
        // Through a proxy, whatever failed, the proxy is what the user can check.
        if (proxy.type() != QNetworkProxy::NoProxy) {
            MessageBoxHandler::critical(title,
                QCoreApplication::translate("translation",
                    "The proxy server %1 did not connect the updater to the update "
                    "server: %2. Check the proxy settings (https_proxy).",
                    "nc")
                    .arg(QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port()),
                        m_socket.errorString()),
                QMessageBox::Ok, QMessageBox::Ok);
            return false;
        }
        MessageBoxHandler::critical(title,
            QCoreApplication::translate("translation",
                "Couldn't connect to update server. Check your internet connection.", "nc"),
            QMessageBox::Ok, QMessageBox::Ok);
        return false;
    }
    m_socket.write(request);
    m_socket.waitForBytesWritten(wait());

    // Bytes may already wait in the socket (read while the request was being written), and
    // waitForReadyRead() only reports bytes that come after them.
    ReplyReader reply;
    while (!reply.add(m_socket.read(UpdateQuery::ReadChunkSize))) {
        if (reply.isHopeless() || reply.size() > UpdateQuery::MaxReplySize
            || reply.cost() > UpdateQuery::MaxReplySize || deadline.hasExpired()
            || (m_socket.bytesAvailable() == 0 && !m_socket.waitForReadyRead(wait()))) {
            MessageBoxHandler::critical(title,
                QCoreApplication::translate("translation",
                    "An error occured while comunicating update server. Check your "
                    "internet connection.",
                    "nc"),
                QMessageBox::Ok, QMessageBox::Ok);
            return false;
        }
    }
    m_updates += reply.takeEntries();
    return true;
}

bool OrviUpdaterEngine::hasUpdates() const
{
    return m_updates.count() > 0;
}

void OrviUpdaterEngine::adoptUpdates(const QVector<UpdateEntry *> &entries)
{
    clearUpdates();
    m_updates = entries;
}

void OrviUpdaterEngine::clearUpdates()
{
    for (UpdateEntry *entry : std::as_const(m_updates))
        delete entry;
    m_updates.clear();
}

void OrviUpdaterEngine::beginDownload()
{
    m_downloadState = 1;
    // Every link is checked before anything is queued, so a bad one sends no request at all.
    for (int index = 0; index < m_updates.count(); ++index) {
        const QString refusal = refusalOf(m_downloadFolder, packageLink(index));
        if (!refusal.isEmpty()) {
            emit error(refusal);
            return;
        }
    }
    for (int index = 0; index < m_updates.count(); ++index) {
        const QUrl link = packageLink(index);
        queueHostOf(link);
        m_http.head(link.path());
    }
}

void OrviUpdaterEngine::abortDownload()
{
    m_downloadState = 3;
    m_http.abort();
}

void OrviUpdaterEngine::installUpdates()
{
    InstallationRun run(m_updates,
        MainAppPaths::rootFolder(QCoreApplication::arguments()).value_or(QString()),
        m_downloadFolder, &m_details, &m_installSucceeded);
    connect(&run, &InstallationRun::installFile, this, &OrviUpdaterEngine::installFile);
    connect(&run, &InstallationRun::installProgress, this, &OrviUpdaterEngine::installProgress);
    connect(&run, &InstallationRun::installFinished, this, &OrviUpdaterEngine::installFinished);
    run.run();
    m_installOutcome = run.outcome();
}

void OrviUpdaterEngine::requestFinished(int id, bool failed)
{
    if (failed) {
        if (m_downloadState == 3)
            return;
        if (m_downloadState == 2 && id == m_requestId && m_http.lastFailureInterrupted()
            && m_resumes < MaxResumes) {
            ++m_resumes;
            resumePackage();
            return;
        }
        failDownload(m_http.errorString());
        return;
    }
    if (m_downloadState != 2 || id != m_requestId)
        return;
    // Buffered bytes reach the disk only here; a package that did not is not complete.
    if (!m_packageFile.flush()) {
        failDownload(m_packageFile.errorString());
        return;
    }
    m_packageFile.close();
    // Checked before anything of it is unpacked; a package that fails is not kept.
    const QString refusal = refusalOfPackage(*m_updates.at(m_current), m_packageFile.hash());
    if (!refusal.isEmpty()) {
        m_packageFile.remove();
        failDownload(refusal);
        return;
    }
    m_bytesDone = boundedSum(m_bytesDone, m_lastDone);
    m_lastDone = 0;
    ++m_current;
    if (m_current < m_updates.count()) {
        fetchPackage();
        return;
    }
    m_downloadState = 0;
    emit downloadProgress(100);
    emit downloadFinished();
}

void OrviUpdaterEngine::dataReadProgress(qint64 done, qint64 total)
{
    Q_UNUSED(total)
    m_lastDone = boundedSum(m_resumeFrom, done);
    const qint64 received = qMin(boundedSum(m_bytesDone, m_lastDone), m_bytesTotal);
    emit downloadProgress(m_bytesTotal > 0 ? int(received * 100 / m_bytesTotal) : 0);
}

void OrviUpdaterEngine::responseHeaderReceived(const HttpResponseHeader &resp)
{
    if (m_downloadState == 2) {
        takeGetHeader(resp);
        return;
    }
    if (m_downloadState != 1)
        return;
    if (resp.hasContentLength())
        m_bytesTotal = boundedSum(m_bytesTotal, resp.contentLength());
    if (m_http.hasPendingRequests())
        return;
    m_current = 0;
    m_downloadState = 2;
    fetchPackage();
}

void OrviUpdaterEngine::takeGetHeader(const HttpResponseHeader &resp)
{
    // A weak ETag may not be used with If-Range.
    const QByteArray tag = resp.entityTag();
    m_validator = !tag.isEmpty() && !tag.startsWith("W/") ? tag : resp.lastModified();
    if (m_resumeFrom > 0 && resp.statusCode() != 206) {
        // The server sends the whole file instead of the rest of it.
        m_packageFile.restart();
        m_resumeFrom = 0;
        m_lastDone = 0;
    }
}

void OrviUpdaterEngine::resumePackage()
{
    const QUrl link = packageLink(m_current);
    // Without a validator nothing proves that the rest would belong to the same file.
    m_resumeFrom = 0;
    if (m_packageFile.flush() && !m_validator.isEmpty())
        m_resumeFrom = m_packageFile.size();
    if (m_resumeFrom == 0)
        m_packageFile.restart();
    m_lastDone = m_resumeFrom;
    queueHostOf(link);
    m_requestId = m_http.getFrom(link.path(), &m_packageFile, m_resumeFrom, m_validator);
}

void OrviUpdaterEngine::failDownload(const QString &text)
{
    // Nothing of a failed run is kept, so no package of it is ever installed.
    if (m_packageFile.isOpen()) {
        m_packageFile.close();
        m_packageFile.remove();
    }
    for (int index = 0; index < m_current; ++index)
        QFile::remove(packageFileName(m_downloadFolder, packageLink(index)));
    emit error(text);
}

QString OrviUpdaterEngine::refusalOfPackage(
    const UpdateEntry &entry, const QByteArray &fileHash) const
{
    const auto bytes
        = [](const std::string &text) { return QByteArray(text.data(), qsizetype(text.size())); };
    const PackageSignature signature(bytes(entry.signature()));
    if (signature.isEmpty() && m_unsignedAllowed)
        return QString();
    const QUrl link(QString::fromLatin1(entry.link().data(), qsizetype(entry.link().size())));
    const TrustedComment offer { bytes(entry.project()), bytes(entry.name()), bytes(entry.type()),
        bytes(entry.version()), link.fileName().toUtf8() };
    QString reason;
    if (signature.verify(fileHash, m_signingKeys, offer, &reason)
        == PackageSignature::Result::Verified) {
        // A valid signature of an old release must not take the component back to it.
        const QByteArray installed
            = VersionRecords(Platform::stateFolder())
                  .recorded(PackageInstaller::destinationOf(entry.type(),
                                MainAppPaths::rootFolder(QCoreApplication::arguments())
                                    .value_or(QString())),
                      offer.project, offer.name, offer.type);
        if (installed.isEmpty()
            || VersionNumber::compare(
                   QString::fromUtf8(offer.version), QString::fromUtf8(installed))
                >= 0)
            return QString();
        reason = QCoreApplication::translate("translation",
            "Its version %1 is older than version %2, which is already installed.", "nc")
                     .arg(QString::fromUtf8(offer.version), QString::fromUtf8(installed));
    }
    return QCoreApplication::translate(
        "translation", "The package %1 was refused and nothing was installed. %2", "nc")
        .arg(QString::fromLatin1(entry.name().data(), qsizetype(entry.name().size())), reason);
}

qint64 OrviUpdaterEngine::boundedSum(qint64 a, qint64 b)
{
    // Far above any real download, and low enough that a percentage never overflows.
    constexpr qint64 Bound = std::numeric_limits<qint64>::max() / 200;
    return qMin(qMin(a, Bound) + qMin(b, Bound), Bound);
}

void OrviUpdaterEngine::fetchPackage()
{
    const QUrl link = packageLink(m_current);
    const std::string &name = m_updates.at(m_current)->name();
    emit downloadFile(QString::fromLatin1(name.data(), qsizetype(name.size())));
    m_lastDone = 0;
    m_resumeFrom = 0;
    m_resumes = 0;
    m_validator.clear();
    m_packageFile.setFileName(packageFileName(m_downloadFolder, link));
    if (!m_packageFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        failDownload(m_packageFile.errorString());
        return;
    }
    queueHostOf(link);
    m_requestId = m_http.get(link.path(), &m_packageFile);
}

QUrl OrviUpdaterEngine::packageLink(int index) const
{
    const std::string &link = m_updates.at(index)->link();
    return QUrl(QString::fromLatin1(link.data(), qsizetype(link.size())));
}

QString OrviUpdaterEngine::packageFileName(const QString &downloadFolder, const QUrl &link)
{
    return QStringLiteral("%1/%2").arg(downloadFolder, link.path());
}

QString OrviUpdaterEngine::refusalOf(const QString &downloadFolder, const QUrl &link)
{
    const QString scheme = link.scheme();
    // QUrl rejects a port above 65535 as invalid; port 0 would silently mean the default.
    if ((scheme != QLatin1String("http") && scheme != QLatin1String("https")) || !link.isValid()
        || link.host().isEmpty() || link.port() == 0)
        return QCoreApplication::translate("translation",
            "The package address %1 is not an http or https address with a host.", "nc")
            .arg(link.toDisplayString());

    // The path names a file below the download folder; it must not climb out of it.
    const QString path = link.path();
    const QString folder = QDir::cleanPath(downloadFolder) + QLatin1Char('/');
    const QString file = QDir::cleanPath(packageFileName(downloadFolder, link));
    if (path.isEmpty() || path.contains(QLatin1Char('\\')) || path.contains(QChar(0))
        || path.split(QLatin1Char('/')).contains(QLatin1String("..")) || !file.startsWith(folder)
        || file.size() == folder.size())
        return QCoreApplication::translate("translation",
            "The package address %1 does not name a file inside the download folder.", "nc")
            .arg(link.toDisplayString());
    return QString();
}

void OrviUpdaterEngine::queueHostOf(const QUrl &link)
{
    if (link.scheme() == QLatin1String("https"))
        m_http.setHost(link.host(), HttpRequestQueue::ConnectionModeHttps, quint16(link.port(443)));
    else
        m_http.setHost(link.host(), HttpRequestQueue::ConnectionModeHttp, quint16(link.port(80)));
}
