#pragma once

#include "httpresponseheader.h"
#include "transferwatchdog.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

class QIODevice;
class QNetworkProxyFactory;
class QNetworkReply;

/*
 * A small HTTP client over one QNetworkAccessManager that queues setHost, HEAD and GET
 * requests and runs them strictly one at a time, in the order queued. Every request gets an
 * id and ends with requestFinished(id, error); the response header of a HEAD or GET is
 * reported before its request ends. A GET given a device streams the body into it through a
 * bounded buffer, so no body is ever held whole in memory.
 *
 * A GET fails when the network fails, when nothing arrives for the transfer time-out or the
 * body comes slower than the minimum rate, when the final status (after at most five
 * redirects, never from https to http) lies outside 2xx, or when the body would grow past
 * the file's bounds; the body of such a response is never written past them and its header
 * is not reported. A HEAD never fails except by abort(): it only sizes a download, so a
 * refused status, a failed connection or a slow server ends it successfully with a header
 * of unknown length. Only the final response's length counts, and only when it is one plain
 * number. After a failure the queued requests are discarded without signals.
 */
class HttpRequestQueue : public QObject
{
    Q_OBJECT

public:
    enum ConnectionMode { ConnectionModeHttp, ConnectionModeHttps };

    /// How long a transfer may receive nothing before it fails.
    static constexpr int DefaultTransferTimeout = TransferWatchdog::DefaultStallTimeout;

    /// The bytes a GET's whole file (not only this response's part) may hold.
    struct FileBounds
    {
        /// The file's exact size where it is known; -1 when not. A body that ends short of it
        /// is an interruption.
        qint64 expected = -1;
        /// The most the file may hold; -1 for no bound beyond the response's length.
        qint64 limit = -1;
    };

    explicit HttpRequestQueue(QObject *parent = nullptr);
    ~HttpRequestQueue() override;

    /// Queues a change of the host that later requests go to, over plain HTTP; returns the id.
    int setHost(const QString &host, quint16 port = 80);
    /// Queues a change of host with the scheme of mode; port 0 means the scheme's default
    /// (80 or 443). Certificates are verified; one that does not verify fails the request.
    int setHost(const QString &host, ConnectionMode mode, quint16 port = 0);
    /// Queues a HEAD request for path (decoded form); returns the request id.
    int head(const QString &path);
    /// Queues a GET request for path (decoded form) whose body is written into to as it
    /// arrives; without a device the body is discarded. Returns the request id.
    int get(const QString &path, QIODevice *to = nullptr);
    /// Queues a GET of path from byte from on, sent with If-Range: ifRange. The server may
    /// answer 206 with exactly that part, or 200 with the whole body; the header tells which.
    /// A 206 for another part fails the request; so does one whose validator is not ifRange,
    /// as an interruption with lastFailureChangedFile(). Nothing past bounds is written.
    int getFrom(const QString &path, QIODevice *to, qint64 from, const QByteArray &ifRange,
        FileBounds bounds);
    /// True while queued requests have not started; the running one does not count.
    bool hasPendingRequests() const;
    /// Ends the running request as failed (requestFinished(id, true)) and discards the
    /// queued ones without signals. Does nothing when the queue is idle.
    void abort();
    /// A description of the last failure, for the user.
    QString errorString() const;
    /// True when the last failure cut a transfer short (the connection dropped or stalled, or
    /// the body ended early), so that asking again may succeed.
    bool lastFailureInterrupted() const { return m_interrupted; }
    /// True when the last failure was a resumed GET answered with part of another version of
    /// the file, so that the file must be fetched again from its start.
    bool lastFailureChangedFile() const { return m_changedFile; }

    /// Lets factory choose the proxy of every later request; the queue takes ownership.
    void setProxyFactory(QNetworkProxyFactory *factory) { m_manager.setProxyFactory(factory); }

    /// Sets how long, in milliseconds, a transfer may receive nothing before it fails.
    void setTransferTimeout(int ms) { m_watchdog.setStallTimeout(ms); }
    int transferTimeout() const { return m_watchdog.stallTimeout(); }
    /// Sets the slowest transfer accepted: bytesPerSecond of body averaged over windowMs.
    void setMinimumRate(qint64 bytesPerSecond, int windowMs)
    {
        m_watchdog.setMinimumRate(bytesPerSecond, windowMs);
    }

signals:
    /// Every queued request that started ends with this signal, exactly once.
    void requestFinished(int id, bool error);
    /// The header of the running HEAD or GET, before its requestFinished.
    void responseHeaderReceived(const HttpResponseHeader &resp);
    /// Bytes of the running GET's body so far, and the announced total (0 when unknown).
    void dataReadProgress(qint64 done, qint64 total);

private:
    enum class Kind { SetHost, Head, Get };

    struct Request
    {
        int id = 0;
        Kind kind = Kind::SetHost;
        QString host;
        ConnectionMode mode = ConnectionModeHttp;
        quint16 port = 0;
        QString path;
        QPointer<QIODevice> device;
        qint64 from = 0;
        QByteArray ifRange;
        FileBounds bounds;
    };

    struct ReplyDeleter
    {
        void operator()(QNetworkReply *reply) const;
    };

    int enqueue(Request request);
    void scheduleNext();
    void startNext();
    void startTransfer(const Request &request);
    /// Reports the header once the final status is known; false while there is none yet or
    /// when the status failed the request.
    bool takeHeader();
    void drainBody();
    void transferFinished();
    /// Checks a successful GET's header against the request; false when it failed it.
    bool acceptGetHeader(int status, qint64 length);
    void watchdogGaveUp(TransferWatchdog::Verdict verdict);
    void fail(const QString &text, bool interrupted = false, bool changedFile = false);
    void endTransfer(bool failed);
    void releaseReply(bool abortTransfer = true);
    QUrl requestUrl() const;

    QNetworkAccessManager m_manager;
    QList<Request> m_queue;
    int m_nextId = 1;
    bool m_nextScheduled = false;

    QString m_host;
    ConnectionMode m_mode = ConnectionModeHttp;
    quint16 m_port = 80;

    // The running transfer.
    Request m_running;
    std::unique_ptr<QNetworkReply, ReplyDeleter> m_reply;
    bool m_headerTaken = false;
    bool m_statusTolerated = false;
    qint64 m_received = 0;
    /// The body bytes expected (-1 unknown) and allowed (-1 unbounded) for this response.
    qint64 m_announced = -1;
    qint64 m_bodyLimit = -1;
    /// Where this response's body starts in the file.
    qint64 m_bodyOffset = 0;
    QByteArray m_buffer;
    TransferWatchdog m_watchdog;
    /// The proxy of the running transfer as "host:port"; empty when it goes direct.
    QString m_proxy;

    QString m_errorString;
    bool m_interrupted = false;
    bool m_changedFile = false;
};
