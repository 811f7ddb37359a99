#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

/*
 * The update port: every connection carries one update request and gets one reply, built
 * from the catalogue index as it stands when the request is complete (so packages published
 * while the server runs are offered at once).
 */
class UpdateQueryServer : public QObject
{
    Q_OBJECT

public:
    /// catalogueFolder holds the index; baseUrl prefixes the package links.
    UpdateQueryServer(QString catalogueFolder, QString baseUrl, QObject *parent = nullptr);

    /// Listens on address and port (0: any free port); false with errorText on failure.
    bool listen(const QHostAddress &address, quint16 port, QString *errorText);
    /// The port listened on.
    quint16 port() const { return m_server.serverPort(); }
    /// Stops accepting connections.
    void close() { m_server.close(); }

    /// A connection that sends nothing for this long is dropped (default 30 s).
    void setIdleTimeout(int milliseconds) { m_idleTimeout = milliseconds; }
    /// A request longer than this is dropped unanswered (default 1 MiB).
    void setMaximumRequestSize(qsizetype bytes) { m_maximumRequestSize = bytes; }

private:
    void acceptConnections();

    QTcpServer m_server;
    const QString m_catalogueFolder;
    const QString m_baseUrl;
    int m_idleTimeout = 30000;
    qsizetype m_maximumRequestSize = 1024 * 1024;
};
