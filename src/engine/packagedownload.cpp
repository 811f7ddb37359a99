#include "packagedownload.h"

#include "folder.h"
#include "removefolderfiles.h"
#include "systemproxy.h"
#include "transfermessages.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <limits>

PackageDownload::PackageDownload(
    QString downloadFolder, Check check, Limits limits, QObject *parent)
    : QObject(parent)
    , m_downloadFolder(std::move(downloadFolder))
    , m_check(std::move(check))
    , m_sizeCap(limits.sizeCap)
{
    m_http.setProxyFactory(new SystemProxy);
    m_http.setTransferTimeout(limits.transferTimeout);
    m_http.setMinimumRate(limits.minimumRate, limits.rateWindow);
    connect(&m_http, &HttpRequestQueue::requestFinished, this, &PackageDownload::requestFinished);
    connect(&m_http, &HttpRequestQueue::dataReadProgress, this, &PackageDownload::dataReadProgress);
    connect(&m_http, &HttpRequestQueue::responseHeaderReceived, this,
        &PackageDownload::responseHeaderReceived);
}

PackageDownload::~PackageDownload() = default;

void PackageDownload::setFolder(std::shared_ptr<const Folder> folder)
{
    m_folder = std::move(folder);
}

qint64 PackageDownload::builtInSizeCap()
{
    return ORVI_DOWNLOAD_SIZE_CAP;
}

void PackageDownload::begin(const QVector<UpdateEntry *> &updates)
{
    m_updates = updates;
    m_state = State::Sizing;
    m_viaDelta.fill(false, m_updates.count());
    // Every link is checked before anything is queued, so a bad one sends no request at all.
    for (int index = 0; index < m_updates.count(); ++index) {
        if (const QString refusal = linkRefusal(index, false); !refusal.isEmpty()) {
            emit error(refusal);
            return;
        }
        // A delta that cannot be fetched is no reason to fail: the whole package will do.
        const UpdateEntry &entry = *m_updates.at(index);
        m_viaDelta[index] = m_deltas.usable && !entry.delta().link.empty() && m_deltas.usable(entry)
            && linkRefusal(index, true).isEmpty();
    }
    for (int index = 0; index < m_updates.count(); ++index) {
        const QUrl link = packageLink(index);
        queueHostOf(link);
        m_http.head(link.path());
    }
}

void PackageDownload::abort()
{
    // Once every package is fetched they belong to the installation.
    const bool running = m_state == State::Sizing || m_state == State::Downloading;
    m_state = State::Aborted;
    m_http.abort();
    if (running)
        removeStoredPackages();
}

void PackageDownload::requestFinished(int id, bool failed)
{
    if (failed) {
        if (m_state == State::Aborted)
            return;
        if (m_state == State::Downloading && id == m_requestId && m_http.lastFailureInterrupted()
            && m_resumes < MaxResumes) {
            ++m_resumes;
            // What the file holds belongs to another version: nothing of it may be kept.
            if (m_http.lastFailureChangedFile())
                m_validator.clear();
            resumePackage();
            return;
        }
        if (m_state == State::Downloading && id == m_requestId && m_viaDelta.at(m_current)) {
            fallBack();
            return;
        }
        failDownload(m_http.errorString());
        return;
    }
    if (m_state != State::Downloading || id != m_requestId)
        return;
    // Buffered bytes reach the disk only here; a package that did not is not complete.
    if (!m_packageFile.flush()) {
        failDownload(m_packageFile.errorString());
        return;
    }
    m_packageFile.close();
    if (m_viaDelta.at(m_current)) {
        // A delta is not fetched again: the whole package is the remedy for every fault.
        const UpdateEntry &entry = *m_updates.at(m_current);
        if (!m_deltas.check(entry, m_packageFile.hash()).isEmpty()
            || !m_deltas.apply(entry, packageFileName(m_downloadFolder, packageLink(m_current)))) {
            fallBack();
            return;
        }
        removePackage(m_current);
    }
    // Checked before anything of it is unpacked; a package that fails is not kept.
    const QString refusal = m_viaDelta.at(m_current)
        ? QString()
        : m_check(*m_updates.at(m_current), m_packageFile.hash());
    if (!refusal.isEmpty() && m_resumedPart && !m_refetched) {
        // A server or cache may append another version's rest under an unchanged validator.
        m_refetched = true;
        m_resumes = 0;
        startPackage();
        return;
    }
    if (!refusal.isEmpty()) {
        removePackage(m_current);
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
    m_state = State::Idle;
    emit downloadProgress(100);
    emit downloadFinished();
}

void PackageDownload::dataReadProgress(qint64 done, qint64 total)
{
    Q_UNUSED(total)
    m_lastDone = boundedSum(m_resumeFrom, done);
    const qint64 received = qMin(boundedSum(m_bytesDone, m_lastDone), m_bytesTotal);
    emit downloadProgress(m_bytesTotal > 0 ? int(received * 100 / m_bytesTotal) : 0);
}

void PackageDownload::responseHeaderReceived(const HttpResponseHeader &resp)
{
    if (m_state == State::Downloading) {
        takeGetHeader(resp);
        return;
    }
    if (m_state != State::Sizing)
        return;
    if (resp.hasContentLength())
        m_bytesTotal = boundedSum(m_bytesTotal, resp.contentLength());
    if (m_http.hasPendingRequests())
        return;
    m_current = 0;
    m_state = State::Downloading;
    fetchPackage();
}

void PackageDownload::takeGetHeader(const HttpResponseHeader &resp)
{
    // A weak ETag may not be used with If-Range.
    const QByteArray tag = resp.entityTag();
    m_validator = !tag.isEmpty() && !tag.startsWith("W/") ? tag : resp.lastModified();
    if (m_resumeFrom > 0 && resp.statusCode() != 206) {
        // The server sends the whole file instead of the rest of it.
        m_packageFile.restart();
        m_resumeFrom = 0;
        m_lastDone = 0;
        m_resumedPart = false;
    }
    if (resp.statusCode() == 206)
        m_resumedPart = true;
}

void PackageDownload::resumePackage()
{
    // Without a validator nothing proves that the rest would belong to the same file.
    m_resumeFrom = 0;
    if (m_packageFile.flush() && !m_validator.isEmpty())
        m_resumeFrom = m_packageFile.size();
    if (m_resumeFrom == 0) {
        m_packageFile.restart();
        m_resumedPart = false;
    }
    m_lastDone = m_resumeFrom;
    queueGet();
}

void PackageDownload::queueGet()
{
    const QUrl link = packageLink(m_current);
    const UpdateEntry &entry = *m_updates.at(m_current);
    const qint64 size = m_viaDelta.at(m_current) ? entry.delta().size : entry.size();
    HttpRequestQueue::FileBounds bounds;
    bounds.expected = size;
    bounds.limit = size >= 0 ? size : m_sizeCap;
    queueHostOf(link);
    m_requestId = m_http.getFrom(link.path(), &m_packageFile, m_resumeFrom, m_validator, bounds);
}

void PackageDownload::fallBack()
{
    if (m_packageFile.isOpen())
        m_packageFile.close();
    removePackage(m_current);
    m_viaDelta[m_current] = false;
    // The delta's bytes were fetched all the same; the whole package's come on top.
    m_bytesDone = boundedSum(m_bytesDone, m_lastDone);
    m_lastDone = 0;
    if (const qint64 size = m_updates.at(m_current)->size(); size > 0)
        m_bytesTotal = boundedSum(m_bytesTotal, size);
    if (m_bytesTotal > 0)
        emit downloadProgress(int(qMin(m_bytesDone, m_bytesTotal) * 100 / m_bytesTotal));
    m_resumes = 0;
    m_refetched = false;
    startPackage();
}

void PackageDownload::failDownload(const QString &text)
{
    // Nothing of a failed run is kept, so no package of it is ever installed.
    removeStoredPackages();
    emit error(text);
}

void PackageDownload::removeStoredPackages()
{
    if (m_packageFile.isOpen()) {
        m_packageFile.close();
        removePackage(m_current);
    }
    for (int index = 0; index < m_current; ++index) {
        removePackage(index);
        // What an applied delta prepared is no package file, but it is this run's all the same.
        if (m_viaDelta.value(index)) {
            const std::string &name = m_updates.at(index)->name();
            removeFolderFiles(m_downloadFolder + QLatin1Char('/')
                + QString::fromLatin1(name.data(), qsizetype(name.size())));
        }
    }
}

void PackageDownload::removePackage(int index)
{
    if (m_folder)
        m_folder->unlink(packageLink(index).path());
}

qint64 PackageDownload::boundedSum(qint64 a, qint64 b)
{
    // Far above any real download, and low enough that a percentage never overflows.
    constexpr qint64 Bound = std::numeric_limits<qint64>::max() / 200;
    return qMin(qMin(a, Bound) + qMin(b, Bound), Bound);
}

void PackageDownload::fetchPackage()
{
    const std::string &name = m_updates.at(m_current)->name();
    emit downloadFile(QString::fromLatin1(name.data(), qsizetype(name.size())));
    m_resumes = 0;
    m_refetched = false;
    startPackage();
}

void PackageDownload::startPackage()
{
    m_lastDone = 0;
    m_resumeFrom = 0;
    m_validator.clear();
    m_resumedPart = false;
    if (!m_folder)
        m_folder = std::make_shared<const Folder>(Folder::open(m_downloadFolder));
    m_packageFile.setFileName(packageFileName(m_downloadFolder, packageLink(m_current)));
    if (!m_packageFile.openIn(*m_folder, packageLink(m_current).path())) {
        failDownload(m_packageFile.errorString());
        return;
    }
    // A package the disk cannot hold is refused before any of it is fetched.
    const UpdateEntry &entry = *m_updates.at(m_current);
    const qint64 size = m_viaDelta.at(m_current) ? entry.delta().size : entry.size();
    if (size > 0 && !m_packageFile.hasRoomFor(size)) {
        failDownload(TransferMessages::notWritten(m_packageFile.errorString()));
        return;
    }
    queueGet();
}

QString PackageDownload::writtenLink(int index) const
{
    return writtenLink(index, m_viaDelta.value(index));
}

QString PackageDownload::writtenLink(int index, bool delta) const
{
    const std::string &link
        = delta ? m_updates.at(index)->delta().link : m_updates.at(index)->link();
    return QString::fromLatin1(link.data(), qsizetype(link.size()));
}

QString PackageDownload::linkRefusal(int index, bool delta) const
{
    const QString written = writtenLink(index, delta);
    const QUrl link(written);
    QString refusal = refusalOf(m_downloadFolder, link);
    if (refusal.isEmpty() && !portReadsBack(written, link))
        refusal = QCoreApplication::translate("translation",
            "The package address %1 is not an http or https address with a host.", "nc")
                      .arg(written);
    return refusal;
}

QUrl PackageDownload::packageLink(int index) const
{
    return QUrl(writtenLink(index));
}

bool PackageDownload::portReadsBack(const QString &written, const QUrl &link)
{
    // Where an unsigned long has 32 bits (Windows), QUrl takes a port of 2^32 + 80 for 80
    // instead of refusing it; the request would go to another port than the link names.
    const qsizetype scheme = written.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return true;
    QString authority = written.mid(scheme + 3);
    const qsizetype end = authority.indexOf(QRegularExpression(QStringLiteral("[/?#]")));
    if (end >= 0)
        authority.truncate(end);
    authority = authority.mid(authority.lastIndexOf(QLatin1Char('@')) + 1);
    const qsizetype colon = authority.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 || authority.indexOf(QLatin1Char(']'), colon) >= 0
        || colon == authority.size() - 1)
        return true;
    bool isNumber = false;
    const qulonglong port = authority.mid(colon + 1).toULongLong(&isNumber);
    return isNumber && port == qulonglong(link.port());
}

QString PackageDownload::packageFileName(const QString &downloadFolder, const QUrl &link)
{
    return QStringLiteral("%1/%2").arg(downloadFolder, link.path());
}

QString PackageDownload::refusalOf(const QString &downloadFolder, const QUrl &link)
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

void PackageDownload::queueHostOf(const QUrl &link)
{
    if (link.scheme() == QLatin1String("https"))
        m_http.setHost(link.host(), HttpRequestQueue::ConnectionModeHttps, quint16(link.port(443)));
    else
        m_http.setHost(link.host(), HttpRequestQueue::ConnectionModeHttp, quint16(link.port(80)));
}
