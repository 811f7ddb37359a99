#include "fakehttpserver.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace {

QByteArray reasonOf(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 407:
        return "Proxy Authentication Required";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

FakeHttpServer::Response FakeHttpServer::Response::ok(const QByteArray &body)
{
    Response response;
    response.body = body;
    return response;
}

FakeHttpServer::Response FakeHttpServer::Response::withStatus(int status)
{
    Response response;
    response.status = status;
    response.body
        = "<html><body>" + QByteArray::number(status) + ' ' + reasonOf(status) + "</body></html>\n";
    return response;
}

FakeHttpServer::Response FakeHttpServer::Response::redirect(const QByteArray &location, int status)
{
    Response response = withStatus(status);
    response.location = location;
    return response;
}

FakeHttpServer::FakeHttpServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeHttpServer::acceptConnections);
}

FakeHttpServer::~FakeHttpServer()
{
    // Sockets signal while they are destroyed; they must not reach members already gone.
    m_server.close();
    const QList<QTcpSocket *> sockets = m_server.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        disconnect(socket, nullptr, this, nullptr);
        delete socket;
    }
}

bool FakeHttpServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

quint16 FakeHttpServer::port() const
{
    return m_server.serverPort();
}

QString FakeHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void FakeHttpServer::setResponse(const QByteArray &path, const Response &response)
{
    m_responses.insert(path, response);
}

void FakeHttpServer::setHeadResponse(const QByteArray &path, const Response &response)
{
    m_headResponses.insert(path, response);
}

QStringList FakeHttpServer::requestLines() const
{
    QStringList lines;
    for (const Request &request : m_requests)
        lines.append(QString::fromLatin1(request.method + ' ' + request.target));
    return lines;
}

void FakeHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_connectionCount;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequests(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeHttpServer::readRequests(QTcpSocket *socket)
{
    QByteArray &pending = m_pending[socket];
    pending += socket->readAll();
    // Anything that does not start like an HTTP request (a TLS handshake, say) is refused.
    if (!pending.isEmpty() && !(pending.at(0) >= 'A' && pending.at(0) <= 'Z')) {
        m_pending.remove(socket);
        socket->disconnectFromHost();
        return;
    }
    int end;
    while ((end = pending.indexOf("\r\n\r\n")) >= 0) {
        const QList<QByteArray> lines = pending.left(end).split('\n');
        pending.remove(0, end + 4);
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        Request request;
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        request.port = socket->localPort();
        request.completedBefore = m_completed;
        for (const QByteArray &line : lines) {
            const int colon = line.indexOf(':');
            const QByteArray name = colon > 0 ? line.left(colon).trimmed().toLower() : QByteArray();
            if (name == "host")
                request.host = line.mid(colon + 1).trimmed();
            else if (name == "range")
                request.range = line.mid(colon + 1).trimmed();
            else if (name == "if-range")
                request.ifRange = line.mid(colon + 1).trimmed();
        }
        m_requests.append(request);
        emit requestReceived();
        answer(socket, request);
        if (!m_pending.contains(socket))
            return;
    }
}

void FakeHttpServer::answer(QTcpSocket *socket, const Request &request)
{
    // A proxy is sent the whole address; the path is what follows its host.
    QByteArray target = request.target;
    if (target.startsWith("http://"))
        target = target.mid(target.indexOf('/', 7));
    const QByteArray path
        = target.left(target.indexOf('?') >= 0 ? target.indexOf('?') : target.size());
    const bool head = request.method == "HEAD";
    Response response = head && m_headResponses.contains(path)
        ? m_headResponses.value(path)
        : m_responses.value(path, Response::withStatus(404));
    if (request.method == "GET" && response.limitedAnswers >= 0
        && m_getCounts[path]++ >= response.limitedAnswers)
        response.sendLimit = -1;
    QByteArray contentRange;
    if (request.method == "GET" && response.honoursRanges && request.range.startsWith("bytes=")
        && (request.ifRange.isEmpty() || response.ignoresIfRange
            || response.extraHeaders.contains(request.ifRange))) {
        const qint64 from = request.range.mid(6, request.range.indexOf('-') - 6).toLongLong();
        contentRange = "Content-Range: bytes " + QByteArray::number(from) + '-'
            + QByteArray::number(response.body.size() - 1) + '/'
            + QByteArray::number(response.body.size()) + "\r\n";
        response.status = 206;
        response.body = response.body.mid(from);
    }
    if (response.silent)
        return;
    if (response.hangUp) {
        m_pending.remove(socket);
        socket->disconnectFromHost();
        return;
    }

    QByteArray chunking;
    if (response.brokenChunks && response.sendLimit >= 0 && !head) {
        const QByteArray part = response.body.left(response.sendLimit);
        response.body = QByteArray::number(part.size(), 16) + "\r\n" + part + "\r\nzz\r\n\r\n";
        response.sendLimit = -1;
        response.withContentLength = false;
        chunking = "Transfer-Encoding: chunked\r\n";
    }
    const bool keepAlive = response.withContentLength && response.sendLimit < 0;
    QByteArray header = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonOf(response.status) + "\r\n";
    header += "Content-Type: application/octet-stream\r\n";
    if (response.withContentLength) {
        const qint64 length
            = response.contentLength >= 0 ? response.contentLength : response.body.size();
        header += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    if (!response.location.isEmpty())
        header += "Location: " + response.location + "\r\n";
    if (!keepAlive)
        header += "Connection: close\r\n";
    header += response.extraHeaders + contentRange + chunking;
    header += "\r\n";
    socket->write(header);

    if (head || request.method != "GET") {
        completeResponse(socket, keepAlive);
        return;
    }
    sendBody(socket, response.body, 0, response, keepAlive);
}

void FakeHttpServer::sendBody(QTcpSocket *socket, const QByteArray &body, qint64 from,
    const Response &response, bool keepAlive)
{
    const qint64 limit
        = response.sendLimit >= 0 ? qMin<qint64>(response.sendLimit, body.size()) : body.size();
    const qint64 piece
        = response.chunkSize > 0 ? qMin<qint64>(response.chunkSize, limit - from) : limit - from;
    socket->write(body.constData() + from, piece);
    from += piece;
    if (from < limit) {
        QTimer::singleShot(
            response.chunkInterval, socket, [this, socket, body, from, response, keepAlive] {
                sendBody(socket, body, from, response, keepAlive);
            });
        return;
    }
    if (response.sendLimit >= 0) {
        if (response.closeAtLimit)
            socket->disconnectFromHost();
        return;
    }
    completeResponse(socket, keepAlive);
}

void FakeHttpServer::completeResponse(QTcpSocket *socket, bool keepAlive)
{
    ++m_completed;
    if (!keepAlive)
        socket->disconnectFromHost();
}
