#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

/*
 * An HTTP/1.1 server on 127.0.0.1 with an ephemeral port, for tests. It answers HEAD and GET
 * from a table of paths (the query is ignored when looking a path up; unknown paths get 404;
 * a whole address as a proxy gets it counts by its path)
 * and records every request it saw, in order. Connections are kept alive when the response
 * allows it. It runs on the test's thread, so the test must spin the event loop (QSignalSpy
 * wait, QTRY_*) while a client talks to it.
 *
 *     FakeHttpServer server;
 *     server.setResponse("/pkg.zip", FakeHttpServer::Response::ok(bytes));
 *     const QString link = server.url("/pkg.zip"); // http://127.0.0.1:<port>/pkg.zip
 */
class FakeHttpServer : public QObject
{
    Q_OBJECT

public:
    /// How one path is answered.
    struct Response
    {
        int status = 200;
        QByteArray body;
        /// Sent as the Location header when not empty.
        QByteArray location;
        /// False: no Content-Length; the body then ends when the connection closes.
        bool withContentLength = true;
        /// The Content-Length announced; -1 announces the body's size.
        qint64 contentLength = -1;
        /// Body bytes sent before the server stops sending; -1 sends all of it.
        qint64 sendLimit = -1;
        /// At sendLimit: true closes the connection (a cut-off body), false keeps it open
        /// and silent (a stalled transfer).
        bool closeAtLimit = true;
        /// Above 0: the body goes out in pieces of this size with chunkInterval ms between them.
        int chunkSize = 0;
        int chunkInterval = 0;
        /// True: the request is read and never answered at all.
        bool silent = false;
        /// True: the request is read and the connection closed without an answer.
        bool hangUp = false;
        /// Header lines ("Name: value\r\n") added after the others, repeats included.
        QByteArray extraHeaders;
        /// True: a GET with "Range: bytes=N-" gets 206 and the body from N on, unless its
        /// If-Range names a value extraHeaders does not hold.
        bool honoursRanges = false;
        /// True with honoursRanges: the part is sent whatever If-Range names, as a server or
        /// cache that ignores If-Range does.
        bool ignoresIfRange = false;
        /// True: an answer cut at sendLimit goes out chunked and ends there with a malformed
        /// chunk-size line, which Qt reads as the last chunk.
        bool brokenChunks = false;
        /// How many GETs of the path sendLimit applies to; -1: all of them.
        int limitedAnswers = -1;

        /// 200 OK with body.
        static Response ok(const QByteArray &body);
        /// A status with a short text body.
        static Response withStatus(int status);
        /// A redirect of the given status (301, 302, 307, ...) to location.
        static Response redirect(const QByteArray &location, int status = 302);
    };

    /// One request as the server saw it.
    struct Request
    {
        QByteArray method;
        /// The request target as sent, query included.
        QByteArray target;
        /// The value of the Host header.
        QByteArray host;
        /// The values of the Range and If-Range headers; empty when absent.
        QByteArray range;
        QByteArray ifRange;
        /// The local port it arrived on.
        quint16 port = 0;
        /// How many responses had been sent completely when it arrived.
        int completedBefore = 0;
    };

    explicit FakeHttpServer(QObject *parent = nullptr);
    ~FakeHttpServer() override;

    /// Starts listening on 127.0.0.1 with an ephemeral port; false when that fails.
    bool listen();
    quint16 port() const;
    /// "http://127.0.0.1:<port>" followed by path.
    QString url(const QString &path) const;

    /// Answers HEAD and GET of path (without query) with response.
    void setResponse(const QByteArray &path, const Response &response);
    /// Answers HEAD of path with response instead of the one setResponse gave.
    void setHeadResponse(const QByteArray &path, const Response &response);

    /// Every request seen so far, in order of arrival.
    QList<Request> requests() const { return m_requests; }
    /// The requests as "METHOD target" texts, for compact comparisons.
    QStringList requestLines() const;
    /// How many connections were accepted.
    int connectionCount() const { return m_connectionCount; }
    /// How many responses were sent completely.
    int completedCount() const { return m_completed; }

signals:
    /// A request was read; it is already in requests().
    void requestReceived();

private:
    void acceptConnections();
    void readRequests(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Request &request);
    void sendBody(QTcpSocket *socket, const QByteArray &body, qint64 from, const Response &response,
        bool keepAlive);
    void completeResponse(QTcpSocket *socket, bool keepAlive);

    QTcpServer m_server;
    QHash<QByteArray, Response> m_responses;
    QHash<QByteArray, Response> m_headResponses;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QHash<QByteArray, int> m_getCounts;
    QList<Request> m_requests;
    int m_connectionCount = 0;
    int m_completed = 0;
};
