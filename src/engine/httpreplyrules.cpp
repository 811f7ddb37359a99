#include "httpreplyrules.h"

bool HttpReplyRules::isInterruption(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

bool HttpReplyRules::isProxyFailure(QNetworkReply::NetworkError error)
{
    return error >= QNetworkReply::ProxyConnectionRefusedError
        && error <= QNetworkReply::UnknownProxyError;
}

bool HttpReplyRules::isSuccess(int status)
{
    return status >= 200 && status < 300;
}

qint64 HttpReplyRules::rangeStart(const QByteArray &value)
{
    const QByteArray simplified = value.simplified();
    if (!simplified.startsWith("bytes "))
        return -1;
    const qsizetype dash = simplified.indexOf('-');
    if (dash < 0)
        return -1;
    bool ok = false;
    const qint64 first = simplified.mid(6, dash - 6).toLongLong(&ok);
    return ok ? first : -1;
}

qint64 HttpReplyRules::plainLength(const QByteArray &value)
{
    // Qt joins a repeated header's values with ", ", and after a redirect it can keep an
    // earlier response's length beside the final one's; only one plain number is trusted.
    if (value.isEmpty())
        return -1;
    for (const char c : value) {
        if (c < '0' || c > '9')
            return -1;
    }
    bool ok = false;
    const qint64 length = value.toLongLong(&ok);
    return ok ? length : -1;
}
