#pragma once

#include <QByteArray>
#include <QString>

class UpdateReplyBuilder;

/*
 * One exchange on the update port, on a non-blocking socket descriptor that the server
 * watches for it: collects the request until its closing marker, answers with the reply
 * document and closes. A peer that sends too much, goes quiet for the idle timeout, or has
 * not completed its request by the deadline is dropped without a reply; one that has not
 * taken its reply by the same deadline after it was ready is cut off. Logs one line when the
 * connection is over.
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

    /// Takes over descriptor; replies come from replyBuilder. Times are in milliseconds on
    /// the server's clock.
    UpdateQueryConnection(
        int descriptor, QString peer, UpdateReplyBuilder *replyBuilder, Limits limits, qint64 now);
    /// Closes the descriptor if the exchange has not.
    ~UpdateQueryConnection();
    UpdateQueryConnection(const UpdateQueryConnection &) = delete;
    UpdateQueryConnection &operator=(const UpdateQueryConnection &) = delete;

    int descriptor() const { return m_descriptor; }
    /// True while a reply waits for room in the socket's send buffer.
    bool isWriting() const { return m_written < m_reply.size(); }
    /// Reads what arrived and writes what can go; false when the exchange is over.
    bool handleReady(qint64 now);
    /// Drops the connection when a time limit has passed; false when the exchange is over.
    bool checkTime(qint64 now);
    /// Ends the exchange at once, logging outcome.
    void abandon(const QString &outcome) { finish(outcome); }

private:
    void answer();
    bool writeReply(qint64 now);
    void finish(const QString &outcome);

    int m_descriptor;
    const QString m_peer;
    UpdateReplyBuilder *m_replyBuilder;
    const Limits m_limits;
    const qint64 m_start;
    qint64 m_lastActivity;
    qint64 m_answeredAt = 0;
    QByteArray m_request;
    // How far the request has been searched for its markers: each byte is looked at once,
    // however finely a client cuts its request.
    qsizetype m_searched = 0;
    qsizetype m_openMarker = -1;
    QByteArray m_reply;
    qsizetype m_written = 0;
    QString m_outcome;
};
