#pragma once

#include "addresstally.h"
#include "cataloguecache.h"
#include "fairqueue.h"
#include "idleconnections.h"
#include "memorybudget.h"
#include "updatequeryconnection.h"
#include "updatereplybuilder.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>

struct sockaddr;

/*
 * The update port: every connection carries one update request and gets one reply, built
 * from the catalogue in memory, which follows the index on disk (so packages published while
 * the server runs are offered from the next query on). The connections' descriptors are
 * watched through one epoll set with the listening socket, itself one descriptor in the event
 * loop, so a crowd of slow clients costs the loop nothing per turn; a sweep drops those past
 * their time limits. Nothing waits: a slow client holds only its own connection, and only
 * until its limits; one turn of the loop ends after a bounded time, so that timers and other
 * connections take their turns. Connections are accepted here rather than by QTcpServer,
 * which cannot tell running out of descriptors from an empty queue.
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
    /// Connections open at once (default 20,000). At the limit a new connection takes the
    /// place of the oldest one still waiting for its request from the address with the most
    /// such; when none waits, the new one is reset as soon as it is accepted.
    void setMaximumConnections(int connections) { m_maximumConnections = connections; }
    /// Connections open at once from one address (an IPv6 /64); one more is reset as soon as
    /// its address is known (default 100; 0: no limit).
    void setMaximumConnectionsPerAddress(int connections) { m_addresses.setLimit(connections); }
    /// The bytes that requests still arriving and replies not yet taken may hold across all
    /// connections (default 16 MiB).
    void setMemoryBudget(qsizetype bytes) { m_budget.setLimit(bytes); }
    /// Each connection's socket send and receive buffers (default 64 KiB each), which the
    /// kernel doubles for its bookkeeping; 0 leaves the system's own, which grow to some MiB
    /// for a peer that reads nothing or sends much.
    void setSocketBufferSize(int bytes) { m_socketBufferSize = bytes; }
    /// Takes every connection to open with the PROXY protocol's line of a proxy in front
    /// (nginx), whose client address then counts in the limits and the log; a connection
    /// without one is dropped (default: off, the peer's own address counts).
    void setProxyProtocol(bool on) { m_proxyProtocol = on; }
    /// Signs every answer with signer, which outlives the server (default: unsigned answers).
    void setAnswerSigner(const AnswerSigner *signer) { m_replyBuilder.setSigner(signer); }

private:
    void handleReadyConnections();
    /// Accepts the connections waiting, as many as the turn begun at turnStart allows.
    void acceptConnections(qint64 turnStart);
    void takeConnection(int socket, const sockaddr *address);
    void refuse(int socket, const QString &peer, const QString &reason);
    void logRefusal(const QString &peer, const QString &reason);
    void pauseListening(int error);
    bool watchListener();
    /// Logs the refusals counted since the last line; false when there were none.
    bool logUnloggedRefusals();
    void sweep();
    using Wait = UpdateQueryConnection::Wait;
    /// Watches connection for what it waits for now, if that differs from before (nothing:
    /// a new connection); drops it when it cannot, and returns false.
    bool watch(UpdateQueryConnection *connection, std::optional<Wait> before);
    struct OpenConnection;
    /// Queues a connection for answerInTurns or answerWaiting if it waits for its turn, for
    /// resumeParked if it waits for memory.
    void queueIfWaiting(OpenConnection &open);
    /// Answers small requests, one of each client address waiting in turn, for what is left
    /// of the turn begun at turnStart (at least one).
    void answerInTurns(qint64 turnStart);
    /// Answers small requests in turn, then the large requests queued first, for about one
    /// turn's time.
    void answerWaiting();
    /// Lets connections that wait for memory read on, first come first, while there is room.
    void resumeParked();

    struct OpenConnection
    {
        std::unique_ptr<UpdateQueryConnection> connection;
        /// The client's address; behind a proxy, the proxy's until its line names the client.
        AddressTally::Key address;
        /// Whether the connection counts under address in the per-address limit.
        bool counted = false;
        /// The place of the connection in the order of opening.
        quint64 order = 0;
        /// Whether it is listed among the idle connections.
        bool idle = false;
    };
    using Connections = std::unordered_map<int, OpenConnection>;
    /// Forgets a connection whose exchange is over; returns the next one.
    Connections::iterator remove(Connections::iterator connection);
    /// Counts a connection under its client's address once the proxy's line has named it;
    /// false when that address is at its limit and the connection has been removed.
    bool identify(Connections::iterator connection);
    /// Lists the connection among the idle ones while it waits for its request.
    void track(OpenConnection &open);
    /// Drops the oldest idle connection of the address with the most, if any.
    void makeRoom();

    CatalogueCache m_catalogue;
    UpdateReplyBuilder m_replyBuilder;
    int m_epoll;
    std::unique_ptr<QSocketNotifier> m_epollNotifier;
    MemoryBudget m_budget { 16 * 1024 * 1024 };
    AddressTally m_addresses;
    Connections m_connections;
    IdleConnections m_idle;
    // Connections with small complete requests, a queue per address.
    FairQueue m_answerTurns;
    QElapsedTimer m_clock;
    QTimer m_sweepTimer;
    // Descriptors of the connections whose large requests wait for their turn, in order.
    std::deque<int> m_waiting;
    // Descriptors of the connections waiting for memory, in order.
    std::deque<int> m_parked;
    QTimer m_answerTimer;
    int m_idleTimeout = 30000;
    int m_requestDeadline = 10000;
    qsizetype m_maximumRequestSize = 1024 * 1024;
    int m_maximumConnections = 20000;
    int m_socketBufferSize = 64 * 1024;
    int m_listener = -1;
    bool m_listening = false;
    bool m_proxyProtocol = false;
    quint64 m_opened = 0;
    // Set from a failed accept until the next one succeeds: one log line per shortage.
    bool m_acceptFailing = false;
    qint64 m_acceptedConnections = 0;
    qint64 m_refusedConnections = 0;
    qint64 m_refusedForAddress = 0;
    qint64 m_droppedForRoom = 0;
    // Refusals come in floods; past the first, they are logged as a count once a second.
    qint64 m_refusalsUnlogged = 0;
    QTimer m_refusalLogTimer;
};
