#include "updatequeryserver.h"

#include "updatequeryconnection.h"

#include <QCoreApplication>
#include <QTcpSocket>

UpdateQueryServer::UpdateQueryServer(QString catalogueFolder, QString baseUrl, QObject *parent)
    : QObject(parent), m_catalogueFolder(std::move(catalogueFolder)), m_baseUrl(std::move(baseUrl))
{
    connect(&m_server, &QTcpServer::newConnection, this, &UpdateQueryServer::acceptConnections);
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

void UpdateQueryServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        // The connection owns the socket and deletes itself when the exchange is over.
        new UpdateQueryConnection(
            socket, m_catalogueFolder, m_baseUrl, m_idleTimeout, m_maximumRequestSize, this);
    }
}
