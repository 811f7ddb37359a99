#include "httprequestqueue.h"

#include "httpreplyrules.h"
#include "transfermessages.h"

#include <QIODevice>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

// Qt stops reading from the network while this much is unread, which bounds the memory a
// fast server can fill when the disk is slower. Qt 6.4 does not always hold to it: get()
// already hands the request to Qt's network thread and the limit follows as a separate queued
// message. Body bytes read before that message is handled are not counted against the limit
// but are credited back once read, so the limit grows by that much for the whole transfer.
// A request on a kept-alive connection is sent at once, so a fast server can win this race
// whenever the caller is descheduled right after get(): tens of MiB on loopback
// (bench/download). No public call sets the limit earlier; the body is never held whole.
constexpr qint64 ReadBufferSize = 256 * 1024;
constexpr qsizetype ChunkSize = 256 * 1024;
constexpr int MaxRedirects = 5;

} // namespace

void HttpRequestQueue::ReplyDeleter::operator()(QNetworkReply *reply) const
{
    // Replies may still be inside one of their own signals when released.
    reply->deleteLater();
}

HttpRequestQueue::HttpRequestQueue(QObject *parent) : QObject(parent)
{
    connect(&m_watchdog, &TransferWatchdog::gaveUp, this, &HttpRequestQueue::watchdogGaveUp);
}

HttpRequestQueue::~HttpRequestQueue()
{
    releaseReply();
}

int HttpRequestQueue::setHost(const QString &host, quint16 port)
{
    return setHost(host, ConnectionModeHttp, port);
}

int HttpRequestQueue::setHost(const QString &host, ConnectionMode mode, quint16 port)
{
    Request request;
    request.kind = Kind::SetHost;
    request.host = host;
    request.mode = mode;
    request.port = port != 0 ? port : (mode == ConnectionModeHttps ? 443 : 80);
    return enqueue(request);
}

int HttpRequestQueue::head(const QString &path)
{
    Request request;
    request.kind = Kind::Head;
    request.path = path;
    return enqueue(request);
}

int HttpRequestQueue::get(const QString &path, QIODevice *to)
{
    return getFrom(path, to, 0, QByteArray(), FileBounds());
}

int HttpRequestQueue::getFrom(
    const QString &path, QIODevice *to, qint64 from, const QByteArray &ifRange, FileBounds bounds)
{
    Request request;
    request.kind = Kind::Get;
    request.path = path;
    request.device = to;
    request.from = from;
    request.ifRange = ifRange;
    request.bounds = bounds;
    return enqueue(request);
}

bool HttpRequestQueue::hasPendingRequests() const
{
    return !m_queue.isEmpty();
}

void HttpRequestQueue::abort()
{
    int id = 0;
    if (m_reply) {
        id = m_running.id;
        releaseReply();
    } else if (!m_queue.isEmpty()) {
        // Queued but not yet started on the event loop: it counts as the running one.
        id = m_queue.constFirst().id;
    } else {
        return;
    }
    m_queue.clear();
    m_interrupted = false;
    m_changedFile = false;
    m_errorString = TransferMessages::cancelled();
    emit requestFinished(id, true);
}

QString HttpRequestQueue::errorString() const
{
    return m_errorString;
}

int HttpRequestQueue::enqueue(Request request)
{
    request.id = m_nextId++;
    m_queue.append(request);
    scheduleNext();
    return request.id;
}

void HttpRequestQueue::scheduleNext()
{
    // Requests start from the event loop, so a caller can queue several before any runs.
    if (m_nextScheduled || m_reply || m_queue.isEmpty())
        return;
    m_nextScheduled = true;
    QMetaObject::invokeMethod(this, &HttpRequestQueue::startNext, Qt::QueuedConnection);
}

void HttpRequestQueue::startNext()
{
    m_nextScheduled = false;
    while (!m_reply && !m_queue.isEmpty()) {
        const Request request = m_queue.takeFirst();
        if (request.kind != Kind::SetHost) {
            startTransfer(request);
            return;
        }
        m_host = request.host;
        m_mode = request.mode;
        m_port = request.port;
        emit requestFinished(request.id, false);
    }
}

void HttpRequestQueue::startTransfer(const Request &request)
{
    m_running = request;
    m_running.host = m_host;
    m_running.mode = m_mode;
    m_running.port = m_port;
    m_headerTaken = false;
    m_statusTolerated = false;
    m_received = 0;
    m_announced = -1;
    m_bodyLimit = -1;

    QNetworkRequest networkRequest(requestUrl());
    m_proxy.clear();
    if (QNetworkProxyFactory *factory = m_manager.proxyFactory()) {
        const QNetworkProxy proxy = factory->queryProxy(QNetworkProxyQuery(requestUrl())).value(0);
        if (proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::Socks5Proxy)
            m_proxy = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    }
    networkRequest.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    networkRequest.setMaximumRedirectsAllowed(MaxRedirects);
    // Naming the encoding ourselves keeps Qt from inflating bodies: a package is stored as sent.
    networkRequest.setRawHeader("Accept-Encoding", "identity");
    if (request.kind == Kind::Get && request.from > 0) {
        networkRequest.setRawHeader("Range", "bytes=" + QByteArray::number(request.from) + '-');
        if (!request.ifRange.isEmpty())
            networkRequest.setRawHeader("If-Range", request.ifRange);
    }

    QNetworkReply *reply = request.kind == Kind::Head ? m_manager.head(networkRequest)
                                                      : m_manager.get(networkRequest);
    m_reply.reset(reply);
    reply->setReadBufferSize(ReadBufferSize);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        m_watchdog.noteActivity();
        takeHeader();
    });
    connect(reply, &QNetworkReply::readyRead, this, [this] {
        m_watchdog.noteActivity();
        if (takeHeader())
            drainBody();
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [this] { m_watchdog.noteActivity(); });
    connect(reply, &QNetworkReply::redirected, this, [this] { m_watchdog.noteActivity(); });
    connect(reply, &QNetworkReply::finished, this, &HttpRequestQueue::transferFinished);
    m_watchdog.start();
}

bool HttpRequestQueue::takeHeader()
{
    if (m_headerTaken)
        return true;
    const QVariant statusAttribute = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttribute.isValid())
        return false;
    const int status = statusAttribute.toInt();
    const bool redirect = status >= 300 && status < 400 && m_reply->hasRawHeader("Location");
    if (redirect && m_reply->isRunning())
        return false; // Qt follows it; the final response comes later.
    const QString reason
        = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();

    qint64 length = -1;
    if (status == 206
        && (m_running.kind != Kind::Get || m_running.from == 0
            || HttpReplyRules::rangeStart(m_reply->rawHeader("Content-Range")) != m_running.from)) {
        releaseReply();
        fail(TransferMessages::wrongPart(requestUrl()));
        return false;
    }
    if (HttpReplyRules::isSuccess(status)) {
        if (m_reply->hasRawHeader("Content-Length"))
            length = HttpReplyRules::plainLength(m_reply->rawHeader("Content-Length"));
        m_announced = length;
        if (m_running.kind == Kind::Get && !acceptGetHeader(status, length))
            return false;
    } else if (m_running.kind == Kind::Head) {
        // A HEAD only sizes the download; the GET decides whether it works.
        m_statusTolerated = true;
    } else {
        // Qt reports the error status itself a moment later; aborting now would report a
        // second error, so the reply is only dropped.
        releaseReply(false);
        if (status == 407 && !m_proxy.isEmpty())
            fail(TransferMessages::proxyLogin(m_proxy, requestUrl()));
        else
            fail(TransferMessages::status(status, reason, requestUrl()));
        return false;
    }
    m_headerTaken = true;
    QNetworkReply *reply = m_reply.get();
    emit responseHeaderReceived(HttpResponseHeader(
        status, reason, length, m_reply->rawHeader("ETag"), m_reply->rawHeader("Last-Modified")));
    // A slot may have aborted this transfer.
    return m_reply.get() == reply;
}

bool HttpRequestQueue::acceptGetHeader(int status, qint64 length)
{
    const bool partial = status == 206;
    if (partial && !m_running.ifRange.isEmpty()) {
        // A server or cache that ignores If-Range sends the rest of whatever it holds now.
        const QByteArray sent = m_running.ifRange;
        const QByteArray validator
            = m_reply->rawHeader(sent.startsWith('"') ? "ETag" : "Last-Modified").trimmed();
        if (validator != sent) {
            releaseReply();
            fail(TransferMessages::changedFile(requestUrl()), true, true);
            return false;
        }
    }
    const qint64 offset = partial ? m_running.from : 0;
    const FileBounds &bounds = m_running.bounds;
    if (bounds.expected >= 0)
        m_announced = qMax<qint64>(bounds.expected - offset, 0);
    m_bodyLimit = bounds.limit >= 0 ? qMax<qint64>(bounds.limit - offset, 0) : -1;
    if (length >= 0 && m_bodyLimit >= 0 && length > m_bodyLimit) {
        releaseReply();
        fail(TransferMessages::tooLarge(requestUrl(), offset + m_bodyLimit));
        return false;
    }
    if (length >= 0)
        m_bodyLimit = length;
    m_bodyOffset = offset;
    return true;
}

void HttpRequestQueue::drainBody()
{
    if (m_running.kind != Kind::Get)
        return;
    if (m_buffer.isEmpty())
        m_buffer.resize(ChunkSize);
    qint64 before = m_received;
    while (m_reply->bytesAvailable() > 0) {
        const qint64 read = m_reply->read(m_buffer.data(), m_buffer.size());
        if (read <= 0)
            break;
        const qint64 room = m_bodyLimit >= 0 ? m_bodyLimit - m_received : read;
        const qint64 kept = qMin(read, room);
        QIODevice *device = m_running.device.data();
        if (device && device->write(m_buffer.constData(), kept) != kept) {
            fail(TransferMessages::notWritten(device->errorString()));
            return;
        }
        m_received += kept;
        if (kept < read) {
            fail(TransferMessages::tooLarge(requestUrl(), m_bodyOffset + m_bodyLimit));
            return;
        }
    }
    if (m_received != before) {
        m_watchdog.noteReceived(m_received);
        emit dataReadProgress(m_received, qMax<qint64>(m_announced, 0));
    }
}

void HttpRequestQueue::transferFinished()
{
    const QNetworkReply::NetworkError error = m_reply->error();
    if (error == QNetworkReply::InsecureRedirectError) {
        fail(TransferMessages::insecureRedirect(requestUrl()));
        return;
    }
    if (error == QNetworkReply::TooManyRedirectsError) {
        fail(TransferMessages::tooManyRedirects(requestUrl()));
        return;
    }
    if (!m_headerTaken && !takeHeader() && !m_reply)
        return; // The status failed the request, or a slot aborted it.
    // Qt reaches an HTTP proxy as it would the server, so a refused connection is the proxy's.
    if (!m_proxy.isEmpty() && !m_statusTolerated
        && (HttpReplyRules::isProxyFailure(error) || error == QNetworkReply::ConnectionRefusedError
            || error == QNetworkReply::HostNotFoundError)) {
        if (error == QNetworkReply::ProxyAuthenticationRequiredError)
            fail(TransferMessages::proxyLogin(m_proxy, requestUrl()));
        else
            fail(TransferMessages::proxyRefused(m_proxy, requestUrl(), m_reply->errorString()),
                HttpReplyRules::isInterruption(error));
        return;
    }
    if (error != QNetworkReply::NoError && !m_statusTolerated) {
        fail(TransferMessages::transport(requestUrl(), m_reply->errorString()),
            HttpReplyRules::isInterruption(error));
        return;
    }
    if (!m_headerTaken) {
        fail(TransferMessages::noValidAnswer(requestUrl()));
        return;
    }
    drainBody();
    if (!m_reply)
        return;
    if (m_running.kind == Kind::Get && m_announced >= 0 && m_received < m_announced) {
        fail(TransferMessages::closedEarly(requestUrl()), true);
        return;
    }
    endTransfer(false);
}

void HttpRequestQueue::watchdogGaveUp(TransferWatchdog::Verdict verdict)
{
    fail(verdict == TransferWatchdog::Verdict::Stalled ? TransferMessages::stalled(requestUrl())
                                                       : TransferMessages::tooSlow(requestUrl()),
        true);
}

void HttpRequestQueue::fail(const QString &text, bool interrupted, bool changedFile)
{
    if (m_running.kind == Kind::Head) {
        // Whatever ends a HEAD early only leaves the size unknown.
        releaseReply();
        if (!m_headerTaken) {
            m_headerTaken = true;
            emit responseHeaderReceived(HttpResponseHeader(0, QString(), -1));
        }
        endTransfer(false);
        return;
    }
    m_errorString = text;
    m_interrupted = interrupted;
    m_changedFile = changedFile;
    endTransfer(true);
}

void HttpRequestQueue::endTransfer(bool failed)
{
    releaseReply();
    if (failed)
        m_queue.clear();
    emit requestFinished(m_running.id, failed);
    scheduleNext();
}

void HttpRequestQueue::releaseReply(bool abortTransfer)
{
    m_watchdog.stop();
    if (!m_reply)
        return;
    disconnect(m_reply.get(), nullptr, this, nullptr);
    if (abortTransfer)
        m_reply->abort();
    m_reply.reset();
}

QUrl HttpRequestQueue::requestUrl() const
{
    QUrl url;
    url.setScheme(
        m_running.mode == ConnectionModeHttps ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(m_running.host);
    const quint16 defaultPort = m_running.mode == ConnectionModeHttps ? 443 : 80;
    if (m_running.port != defaultPort)
        url.setPort(m_running.port);
    url.setPath(m_running.path.isEmpty() ? QStringLiteral("/") : m_running.path);
    return url;
}
