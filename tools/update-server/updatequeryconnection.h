#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

class MemoryBudget;
class UpdateReplyBuilder;

/*
 * One exchange on the update port, on a non-blocking socket descriptor that the server
 * watches for it: collects the request until its closing marker, answers with the reply
 * document and closes. A peer that sends too much, goes quiet for the idle timeout, or has
 * not completed its request by the deadline is dropped without a reply; one that has not
 * taken its reply by the same deadline after it was ready is cut off. What the connection
 * holds of its request and of a reply not yet taken counts against the memory budget shared
 * by all connections; past it, a large request waits until there is room, and a large reply
 * is dropped. A connection ended before its reply is complete is reset, so that the kernel
 * frees its buffers at once. Logs one line when the connection is over.
 */
class UpdateQueryConnection
{
public:
    struct Limits
    {
        int idleTimeout;
        int requestDeadline;
        qsizetype maximumRequestSize;
    };

    /// What a request or an unsent reply may hold without room in the budget: an ordinary
    /// exchange (an inventory of some hundred components) is never refused for memory.
    static constexpr qsizetype SmallExchange = 32 * 1024;

    /// Takes over descriptor; replies come from replyBuilder, memory from budget. Times are in
    /// milliseconds on the server's clock.
    UpdateQueryConnection(int descriptor, QString peer, UpdateReplyBuilder *replyBuilder,
        MemoryBudget *budget, Limits limits, qint64 now);
    /// Resets the connection if the exchange has not ended it.
    ~UpdateQueryConnection();
    UpdateQueryConnection(const UpdateQueryConnection &) = delete;
    UpdateQueryConnection &operator=(const UpdateQueryConnection &) = delete;

    /// What the connection waits for.
    enum class Wait { Request, Memory, Turn, Room };

    int descriptor() const { return m_descriptor; }
    /// Makes the exchange open with the PROXY protocol's line from a proxy in front, which
    /// names the client; a connection without a well-formed one is dropped.
    void expectProxyLine() { m_awaitingProxyLine = true; }
    /// True until the line expected has arrived.
    bool awaitsProxyLine() const { return m_awaitingProxyLine; }
    /// The client's address and port as the log names it.
    const QString &peer() const { return m_peer; }
    /// The client the proxy's line named; null when none did.
    const QHostAddress &client() const { return m_client; }
    /// True when a complete request is over SmallExchange.
    bool isLarge() const { return m_request.size() > SmallExchange; }
    /// Request while the request is arriving; Memory when a request past SmallExchange waits
    /// for room in the budget to read on (resume); Turn when a complete request waits for the
    /// server to answer it (answerNow), so that the server can take turns between clients and
    /// answer small requests before large ones; Room while a reply waits for room in the
    /// socket's send buffer.
    Wait waitsFor() const;
    /// Reads on, at the next handleReady, a request that waited for memory.
    void resume() { m_parked = false; }
    /// Reads what arrived and writes what can go; false when the exchange is over.
    bool handleReady(qint64 now);
    /// Answers a request that waits for its turn; false when the exchange is over.
    bool answerNow(qint64 now);
    /// Drops the connection when a time limit has passed; false when the exchange is over.
    bool checkTime(qint64 now);
    /// Resets the connection at once, logging outcome.
    void abandon(const QString &outcome) { finish(outcome, Reset); }

private:
    enum Ending { Close, Reset };

    bool isWriting() const { return m_written < m_reply.size(); }
    /// Takes the PROXY protocol's line off the request once it has arrived; false when the
    /// exchange is over.
    bool readProxyLine();
    void answer();
    bool writeReply(qint64 now);
    /// Keeps a reply the socket did not take at once if the budget allows; false when the
    /// exchange is over.
    bool holdReply();
    /// Counts bytes held against the budget in place of the previous count.
    void hold(qsizetype bytes);
    void finish(const QString &outcome, Ending ending);

    int m_descriptor;
    QString m_peer;
    QHostAddress m_client;
    bool m_awaitingProxyLine = false;
    UpdateReplyBuilder *m_replyBuilder;
    MemoryBudget *m_budget;
    const Limits m_limits;
    const qint64 m_start;
    qint64 m_lastActivity;
    qint64 m_answeredAt = 0;
    QByteArray m_request;
    // How far the request has been searched for its markers: each byte is looked at once,
    // however finely a client cuts its request.
    qsizetype m_searched = 0;
    qsizetype m_openMarker = -1;
    bool m_complete = false;
    bool m_parked = false;
    QByteArray m_reply;
    qsizetype m_written = 0;
    qsizetype m_held = 0;
    QString m_outcome;
};
