#pragma once

#include <QString>
#include <QUrl>

/*
 * Words each way a package transfer can fail, for the user: each text names the address (or
 * the server and the package) it is about, and the proxy where that is to blame.
 */
class TransferMessages
{
public:
    /// The user cancelled the download.
    static QString cancelled();
    /// Nothing arrived from the server of url for the stall time.
    static QString stalled(const QUrl &url);
    /// The body of url arrived slower than the minimum rate.
    static QString tooSlow(const QUrl &url);
    /// The server answered status and reason.
    static QString status(int status, const QString &reason, const QUrl &url);
    /// A resumed request was answered with a part other than the one asked for.
    static QString wrongPart(const QUrl &url);
    /// A resumed request was answered with part of another version of the file.
    static QString changedFile(const QUrl &url);
    /// The body of url would pass limit bytes of its file.
    static QString tooLarge(const QUrl &url, qint64 limit);
    /// The connection closed before the whole body of url arrived.
    static QString closedEarly(const QUrl &url);
    /// The file receiving the body failed with deviceError.
    static QString notWritten(const QString &deviceError);
    /// A redirect led from https to http.
    static QString insecureRedirect(const QUrl &url);
    /// More redirects than allowed.
    static QString tooManyRedirects(const QUrl &url);
    /// The server sent no HTTP answer at all.
    static QString noValidAnswer(const QUrl &url);
    /// The proxy (as "host:port") failed the request with networkError, Qt's own text.
    static QString proxyRefused(const QString &proxy, const QUrl &url, const QString &networkError);
    /// The proxy asked for a login (407).
    static QString proxyLogin(const QString &proxy, const QUrl &url);
    /// The connection to the server failed with networkError, Qt's own text.
    static QString transport(const QUrl &url, const QString &networkError);
};
