#include "httpconnection.h"

#include "catalogue.h"
#include "serverlog.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpSocket>

namespace {
constexpr qsizetype MaximumHeadSize = 8192;
constexpr qint64 ChunkSize = 64 * 1024;
// Keeps memory bounded: the next piece is read from disk only once the socket has sent most.
constexpr qint64 MaximumBuffered = 4 * ChunkSize;

QByteArray contentType(const QString &fileName)
{
    if (fileName.endsWith(QLatin1String(".zip")))
        return QByteArrayLiteral("application/zip");
    if (fileName.endsWith(QLatin1String(".xml")))
        return QByteArrayLiteral("application/xml");
    return QByteArrayLiteral("application/octet-stream");
}
} // namespace

HttpConnection::HttpConnection(
    QTcpSocket *socket, QString catalogueFolder, int idleTimeout, QObject *parent)
    : QObject(parent), m_socket(socket), m_catalogueFolder(std::move(catalogueFolder))
{
    m_socket->setParent(this);
    m_peer
        = QStringLiteral("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(idleTimeout);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] {
        m_outcome += m_outcome.isEmpty() ? QStringLiteral("dropped: idle")
                                         : QStringLiteral(" (dropped: idle)");
        disconnect(m_socket, nullptr, this, nullptr);
        m_socket->abort();
        finish();
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::readRequest);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::sendMore);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::finish);
    m_idleTimer.start();
    readRequest();
}

QString HttpConnection::resolveTarget(const QString &catalogueFolder, const QByteArray &target)
{
    QByteArray path = target;
    // The absolute form ("http://host/file") names the same file as "/file".
    if (path.toLower().startsWith("http://")) {
        const qsizetype slash = path.indexOf('/', 7);
        path = slash < 0 ? QByteArrayLiteral("/") : path.mid(slash);
    }
    const qsizetype query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    if (!path.startsWith('/') || path.indexOf('/', 1) >= 0)
        return QString();
    const QString name = QString::fromUtf8(QByteArray::fromPercentEncoding(path.mid(1)));
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')) || name == Catalogue::indexFileName())
        return QString();
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':')
            || c.unicode() < 0x20 || c == QChar::ReplacementCharacter)
            return QString();
    }
    const QDir folder(catalogueFolder);
    const QFileInfo info(folder.filePath(name));
    if (!info.isFile())
        return QString();
    // A symbolic link in the folder may point anywhere; only what resolves inside is served.
    const QFileInfo resolved(info.canonicalFilePath());
    if (resolved.absolutePath() != folder.canonicalPath())
        return QString();
    return resolved.filePath();
}

void HttpConnection::readRequest()
{
    if (!m_outcome.isEmpty()) {
        m_socket->readAll();
        return;
    }
    m_head += m_socket->read(MaximumHeadSize + 1 - m_head.size());
    m_idleTimer.start();
    qsizetype end = m_head.indexOf("\r\n\r\n");
    if (end < 0)
        end = m_head.indexOf("\n\n");
    if (end < 0) {
        if (m_head.size() > MaximumHeadSize) {
            m_outcome = QStringLiteral("- - 431 request head too long");
            sendStatus(431, QByteArrayLiteral("Request Header Fields Too Large"), true);
        }
        return;
    }
    const qsizetype lineEnd = m_head.indexOf('\n');
    respond(m_head.left(lineEnd).trimmed());
}

void HttpConnection::respond(const QByteArray &requestLine)
{
    const QList<QByteArray> parts = requestLine.split(' ');
    const QString logged = QString::fromLatin1(requestLine.left(200));
    if (parts.size() != 3 || !parts.at(2).startsWith("HTTP/")) {
        m_outcome = logged + QStringLiteral(" 400");
        sendStatus(400, QByteArrayLiteral("Bad Request"), true);
        return;
    }
    const QByteArray &method = parts.at(0);
    const bool head = method == "HEAD";
    if (!head && method != "GET") {
        m_outcome = logged + QStringLiteral(" 405");
        sendStatus(405, QByteArrayLiteral("Method Not Allowed"), true);
        return;
    }
    if (!parts.at(2).startsWith("HTTP/1.")) {
        m_outcome = logged + QStringLiteral(" 505");
        sendStatus(505, QByteArrayLiteral("HTTP Version Not Supported"), !head);
        return;
    }
    const QString fileName = resolveTarget(m_catalogueFolder, parts.at(1));
    m_file.setFileName(fileName);
    if (fileName.isEmpty() || !m_file.open(QIODevice::ReadOnly)) {
        m_outcome = logged + QStringLiteral(" 404");
        sendStatus(404, QByteArrayLiteral("Not Found"), !head);
        return;
    }
    const qint64 size = m_file.size();
    m_outcome = logged + QStringLiteral(" 200 %1 bytes").arg(size);
    m_socket->write(QByteArrayLiteral("HTTP/1.1 200 OK\r\nContent-Type: ") + contentType(fileName)
        + QByteArrayLiteral("\r\nContent-Length: ") + QByteArray::number(size)
        + QByteArrayLiteral("\r\nConnection: close\r\n\r\n"));
    if (head) {
        m_file.close();
        m_socket->disconnectFromHost();
        return;
    }
    m_remaining = size;
    sendMore();
}

void HttpConnection::sendStatus(int status, const QByteArray &reason, bool withBody)
{
    const QByteArray body = QByteArray::number(status) + ' ' + reason + '\n';
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n";
    if (status == 405)
        response += "Allow: GET, HEAD\r\n";
    response += "\r\n";
    if (withBody)
        response += body;
    m_socket->write(response);
    m_socket->disconnectFromHost();
}

void HttpConnection::sendMore()
{
    m_idleTimer.start();
    if (!m_file.isOpen())
        return;
    while (m_remaining > 0 && m_socket->bytesToWrite() < MaximumBuffered) {
        const QByteArray piece = m_file.read(qMin(ChunkSize, m_remaining));
        if (piece.isEmpty()) {
            // The file shrank under us; the promised length cannot be kept.
            m_outcome += QStringLiteral(" (aborted: the file could not be read to its end)");
            m_file.close();
            m_remaining = 0;
            disconnect(m_socket, nullptr, this, nullptr);
            m_socket->abort();
            finish();
            return;
        }
        m_remaining -= piece.size();
        m_socket->write(piece);
    }
    if (m_remaining == 0) {
        m_file.close();
        m_socket->disconnectFromHost();
    }
}

void HttpConnection::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_outcome.isEmpty())
        m_outcome = QStringLiteral("- - closed by the peer before a complete request");
    else if (m_remaining > 0)
        m_outcome += QStringLiteral(" (closed by the peer, %1 bytes unsent)").arg(m_remaining);
    disconnect(m_socket, nullptr, this, nullptr);
    m_idleTimer.stop();
    m_file.close();
    ServerLog::write(QStringLiteral("http %1 %2").arg(m_peer, m_outcome));
    deleteLater();
}
