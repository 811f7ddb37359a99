#pragma once

#include "cataloguecache.h"
#include "updatereplybuilder.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <memory>
#include <unordered_map>

class UpdateQueryConnection;

/*
 * The update port: every connection carries one update request and gets one reply, built
 * from the catalogue in memory, which follows the index on disk (so packages published while
 * the server runs are offered from the next query on). The connections' descriptors are
 * watched through one epoll set with the listening socket, itself one descriptor in the event
 * loop, so a crowd of slow clients costs the loop nothing per turn; a sweep drops those past
 * their time limits. Nothing waits: a slow client holds only its own connection, and only
 * until its limits. Connections are accepted here rather than by QTcpServer, which cannot tell
 * running out of descriptors from an empty queue.
 */
class UpdateQueryServer : public QTcpServer
{
    Q_OBJECT

public:
    /// catalogueFolder holds the index; baseUrl prefixes the package links.
    UpdateQueryServer(QString catalogueFolder, QString baseUrl, QObject *parent = nullptr);
    ~UpdateQueryServer() override;

    /// Listens on address and port (0: any free port); false with errorText on failure.
    bool listen(const QHostAddress &address, quint16 port, QString *errorText);
    /// The port listened on.
    quint16 port() const { return serverPort(); }
    /// Stops accepting connections, drops those still open and logs how many were taken,
    /// refused and dropped.
    void close();

    /// A connection that sends nothing for this long is dropped (default 30 s).
    void setIdleTimeout(int milliseconds) { m_idleTimeout = milliseconds; }
    /// A client that has not sent its whole request this long after connecting is dropped
    /// (default 10 s), however steadily it sends; so is one that has not taken its whole reply
    /// this long after it was ready.
    void setRequestDeadline(int milliseconds) { m_requestDeadline = milliseconds; }
    /// A request longer than this is dropped unanswered (default 1 MiB).
    void setMaximumRequestSize(qsizetype bytes) { m_maximumRequestSize = bytes; }
    /// Connections open at once; one more is closed as soon as it is accepted (default 20,000).
    void setMaximumConnections(int connections) { m_maximumConnections = connections; }

private:
    void handleReadyConnections();
    void acceptConnections();
    void takeConnection(int socket);
    void refuse(int socket);
    void pauseListening(int error);
    bool watchListener();
    /// Logs the refusals counted since the last line; false when there were none.
    bool logUnloggedRefusals();
    void sweep();
    /// Drops connection when it cannot be watched, and returns false.
    bool watch(UpdateQueryConnection *connection, bool add);
    void remove(int descriptor);

    CatalogueCache m_catalogue;
    UpdateReplyBuilder m_replyBuilder;
    int m_epoll;
    std::unique_ptr<QSocketNotifier> m_epollNotifier;
    std::unordered_map<int, std::unique_ptr<UpdateQueryConnection>> m_connections;
    QElapsedTimer m_clock;
    QTimer m_sweepTimer;
    int m_idleTimeout = 30000;
    int m_requestDeadline = 10000;
    qsizetype m_maximumRequestSize = 1024 * 1024;
    int m_maximumConnections = 20000;
    int m_listener = -1;
    bool m_listening = false;
    // Set from a failed accept until the next one succeeds: one log line per shortage.
    bool m_acceptFailing = false;
    qint64 m_acceptedConnections = 0;
    qint64 m_refusedConnections = 0;
    // Refusals come in floods; past the first, they are logged as a count once a second.
    qint64 m_refusalsUnlogged = 0;
    QTimer m_refusalLogTimer;
};
