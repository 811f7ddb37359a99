#include "packagehttpserver.h"

#include "httpconnection.h"

#include <QCoreApplication>
#include <QTcpSocket>

PackageHttpServer::PackageHttpServer(QString catalogueFolder, QObject *parent)
    : QObject(parent), m_catalogueFolder(std::move(catalogueFolder))
{
    connect(&m_server, &QTcpServer::newConnection, this, &PackageHttpServer::acceptConnections);
}

bool PackageHttpServer::listen(const QHostAddress &address, quint16 port, QString *errorText)
{
    if (m_server.listen(address, port))
        return true;
    *errorText
        = QCoreApplication::translate("translation", "Cannot listen on HTTP port %1: %2", "nc")
              .arg(port)
              .arg(m_server.errorString());
    return false;
}

void PackageHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        // The connection owns the socket and deletes itself when the exchange is over.
        new HttpConnection(socket, m_catalogueFolder, m_idleTimeout, this);
    }
}
