#include "updatequeryserver.h"

#include "serverlog.h"
#include "updatequeryconnection.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTimer>

namespace {

// As deep as Linux lets a listen queue be by default (net.core.somaxconn): a crowd that
// connects at once waits there instead of having its SYNs dropped and resent a second later.
constexpr int ListenBacklog = 4096;
// Out of descriptors, accept fails until connections end; trying again soon is enough.
constexpr int AcceptRetryDelay = 100;

} // namespace

UpdateQueryServer::UpdateQueryServer(QString catalogueFolder, QString baseUrl, QObject *parent)
    : QObject(parent)
    , m_catalogue(std::move(catalogueFolder))
    , m_replyBuilder(&m_catalogue, std::move(baseUrl))
{
    m_server.setListenBacklogSize(ListenBacklog);
    connect(&m_server, &QTcpServer::newConnection, this, &UpdateQueryServer::acceptConnections);
    connect(&m_server, &QTcpServer::acceptError, this, &UpdateQueryServer::resumeAfterAcceptError);
}

bool UpdateQueryServer::listen(const QHostAddress &address, quint16 port, QString *errorText)
{
    if (m_server.listen(address, port))
        return true;
    *errorText
        = QCoreApplication::translate("translation", "Cannot listen on update port %1: %2", "nc")
              .arg(port)
              .arg(m_server.errorString());
    return false;
}

void UpdateQueryServer::close()
{
    m_server.close();
    ServerLog::write(QStringLiteral("connections: %1 accepted, %2 refused over the limit of %3")
                         .arg(m_acceptedConnections)
                         .arg(m_refusedConnections)
                         .arg(m_maximumConnections));
}

void UpdateQueryServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        if (m_openConnections >= m_maximumConnections) {
            ++m_refusedConnections;
            ServerLog::write(QStringLiteral("refused %1:%2: %3 connections open")
                                 .arg(socket->peerAddress().toString())
                                 .arg(socket->peerPort())
                                 .arg(m_openConnections));
            socket->abort();
            delete socket;
            continue;
        }
        ++m_acceptedConnections;
        ++m_openConnections;
        // The connection owns the socket and deletes itself when the exchange is over.
        auto *connection = new UpdateQueryConnection(socket, &m_replyBuilder,
            { m_idleTimeout, m_requestDeadline, m_maximumRequestSize }, this);
        connect(connection, &UpdateQueryConnection::closed, this, [this] { --m_openConnections; });
        connection->start();
    }
}

void UpdateQueryServer::resumeAfterAcceptError(QAbstractSocket::SocketError error)
{
    // QTcpServer stops accepting after an error that is not temporary, e.g. out of descriptors.
    ServerLog::write(QStringLiteral("cannot accept (error %1, %2 connections open); trying "
                                    "again in %3 ms")
                         .arg(int(error))
                         .arg(m_openConnections)
                         .arg(AcceptRetryDelay));
    QTimer::singleShot(AcceptRetryDelay, &m_server, &QTcpServer::resumeAccepting);
}
