#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

/*
 * The HTTP port: answers HEAD and GET for the files that lie directly in the catalogue
 * folder, one request per connection. Anything else is refused: other methods, folders,
 * hidden files, names with separators or traversal (also when percent-encoded) and
 * symbolic links that lead out of the folder.
 */
class PackageHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit PackageHttpServer(QString catalogueFolder, QObject *parent = nullptr);

    /// Listens on address and port (0: any free port); false with errorText on failure.
    bool listen(const QHostAddress &address, quint16 port, QString *errorText);
    /// The port listened on.
    quint16 port() const { return m_server.serverPort(); }
    /// Stops accepting connections.
    void close() { m_server.close(); }

    /// A connection that makes no progress for this long is dropped (default 30 s).
    void setIdleTimeout(int milliseconds) { m_idleTimeout = milliseconds; }

private:
    void acceptConnections();

    QTcpServer m_server;
    const QString m_catalogueFolder;
    int m_idleTimeout = 30000;
};
