#include "orviupdaterengine.h"

#include "installationrun.h"
#include "mainapppaths.h"
#include "messageboxhandler.h"
#include "platform.h"
#include "replyparser.h"
#include "replyreader.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QDir>

#include <limits>

OrviUpdaterEngine::OrviUpdaterEngine()
    : m_downloadFolder(Platform::downloadFolder())
{
    QDir().mkpath(m_downloadFolder);
    connect(&m_http, &HttpRequestQueue::requestFinished, this, &OrviUpdaterEngine::requestFinished);
    connect(&m_http, &HttpRequestQueue::dataReadProgress, this,
            &OrviUpdaterEngine::dataReadProgress);
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
    m_socket.connectToHost(m_updateServer.host(), m_updateServer.port(), QIODevice::ReadWrite);
    if (!m_socket.waitForConnected(m_networkTimeout)) {
        MessageBoxHandler::critical(title,
                QCoreApplication::translate("translation",
                        "Couldn't connect to update server. Check your internet connection.", "nc"),
                QMessageBox::Ok, QMessageBox::Ok);
        return false;
    }
    m_socket.write(request);
    m_socket.waitForBytesWritten(m_networkTimeout);

    // A server that never completes a document must not take all memory, hence the bound.
    // Bytes may already wait in the socket (read while the request was being written), and
    // waitForReadyRead() only reports bytes that come after them.
    ReplyReader reply;
    while (!reply.add(m_socket.readAll())) {
        if (reply.size() > UpdateQuery::MaxReplySize
                || (m_socket.bytesAvailable() == 0
                        && !m_socket.waitForReadyRead(m_networkTimeout))) {
            MessageBoxHandler::critical(title,
                    QCoreApplication::translate("translation",
                            "An error occured while comunicating update server. Check your "
                            "internet connection.",
                            "nc"),
                    QMessageBox::Ok, QMessageBox::Ok);
            return false;
        }
    }
    m_updates += ReplyParser::parse(reply.document());
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
        const QString refusal = refusalOf(packageLink(index));
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
    InstallationRun run(m_updates, m_downloadFolder, &m_details, &m_installSucceeded);
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
        // A package that did not arrive whole is not kept, so nothing half-written is installed.
        if (m_packageFile.isOpen()) {
            m_packageFile.close();
            m_packageFile.remove();
        }
        emit error(m_http.errorString());
        return;
    }
    if (m_downloadState != 2 || id != m_requestId)
        return;
    m_packageFile.close();
    ++m_current;
    if (m_current < m_updates.count()) {
        fetchPackage();
        return;
    }
    m_downloadState = 0;
    // Without any announced size the bar stays at 0 while data arrives; it ends full.
    if (m_bytesTotal == 0)
        emit downloadProgress(100);
    emit downloadFinished();
}

void OrviUpdaterEngine::dataReadProgress(qint64 done, qint64 total)
{
    Q_UNUSED(total)
    m_bytesDone += done - m_lastDone;
    m_lastDone = done;
    // A body longer than announced may pass 100; only the int range bounds it.
    const qint64 percent = m_bytesTotal > 0 ? m_bytesDone * 100 / m_bytesTotal : 0;
    emit downloadProgress(int(qMin<qint64>(percent, std::numeric_limits<int>::max())));
}

void OrviUpdaterEngine::responseHeaderReceived(const HttpResponseHeader &resp)
{
    if (m_downloadState != 1)
        return;
    m_bytesTotal += resp.contentLength();
    if (m_http.hasPendingRequests())
        return;
    m_current = 0;
    m_downloadState = 2;
    fetchPackage();
}

void OrviUpdaterEngine::fetchPackage()
{
    const QUrl link = packageLink(m_current);
    const std::string &name = m_updates.at(m_current)->name();
    emit downloadFile(QString::fromLatin1(name.data(), qsizetype(name.size())));
    m_lastDone = 0;
    m_packageFile.setFileName(packageFileName(link));
    if (!m_packageFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(m_packageFile.errorString());
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

QString OrviUpdaterEngine::packageFileName(const QUrl &link) const
{
    return QStringLiteral("%1/%2").arg(m_downloadFolder, link.path());
}

QString OrviUpdaterEngine::refusalOf(const QUrl &link) const
{
    const QString scheme = link.scheme();
    if ((scheme != QLatin1String("http") && scheme != QLatin1String("https"))
            || link.host().isEmpty())
        return QCoreApplication::translate("translation",
                "The package address %1 is not an http or https address with a host.", "nc")
                .arg(link.toDisplayString());

    // The path names a file below the download folder; it must not climb out of it.
    const QString path = link.path();
    const QString folder = QDir::cleanPath(m_downloadFolder) + QLatin1Char('/');
    const QString file = QDir::cleanPath(packageFileName(link));
    if (path.isEmpty() || path.contains(QLatin1Char('\\')) || path.contains(QChar(0))
            || path.split(QLatin1Char('/')).contains(QLatin1String(".."))
            || !file.startsWith(folder) || file.size() == folder.size())
        return QCoreApplication::translate("translation",
                "The package address %1 does not name a file inside the download folder.",
                "nc")
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
