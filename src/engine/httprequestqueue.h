#pragma once

#include "httpresponseheader.h"

#include <QObject>
#include <QString>

class QIODevice;

/*
 * A small HTTP client over QNetworkAccessManager that queues setHost, HEAD and GET
 * requests and runs them one at a time, in the order queued.
 * (Interface placeholder: the download work fills in the implementation.)
 */
class HttpRequestQueue : public QObject
{
    Q_OBJECT

public:
    explicit HttpRequestQueue(QObject *parent = nullptr);
    ~HttpRequestQueue() override;

    /// Queues a change of the host that later requests go to; returns the request id.
    int setHost(const QString &host, quint16 port = 80);
    /// Queues a HEAD request for path; returns the request id.
    int head(const QString &path);
    /// Queues a GET request for path whose body is written into to as it arrives.
    int get(const QString &path, QIODevice *to = nullptr);
    /// True while queued requests have not started; the running one does not count.
    bool hasPendingRequests() const;
    /// Ends the running request as failed and discards the queued ones.
    void abort();
    /// A description of the last failure, for the user.
    QString errorString() const;

signals:
    void requestFinished(int id, bool error);
    void responseHeaderReceived(const HttpResponseHeader &resp);
    void dataReadProgress(qint64 done, qint64 total);
};
