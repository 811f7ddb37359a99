#pragma once

#include <QByteArray>
#include <QNetworkReply>

/*
 * What a network reply's error, status and headers mean for a transfer, as the request queue
 * reads them: which failures are worth asking again, which are the proxy's, which statuses
 * succeed, and which header values are trusted.
 */
class HttpReplyRules
{
public:
    /// True for errors after which the same request may well succeed: the connection broke,
    /// not the request.
    static bool isInterruption(QNetworkReply::NetworkError error);
    /// True for the errors Qt reports when the proxy itself failed.
    static bool isProxyFailure(QNetworkReply::NetworkError error);
    /// True for a 2xx status.
    static bool isSuccess(int status);
    /// The first byte of a Content-Range value "bytes first-last/length"; -1 when it names none.
    static qint64 rangeStart(const QByteArray &value);
    /// A Content-Length value that is one plain number; -1 for anything else.
    static qint64 plainLength(const QByteArray &value);
};
