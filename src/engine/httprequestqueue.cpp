#include "httprequestqueue.h"

HttpRequestQueue::HttpRequestQueue(QObject *parent) : QObject(parent) { }

HttpRequestQueue::~HttpRequestQueue() = default;

int HttpRequestQueue::setHost(const QString &, quint16)
{
    return 0;
}

int HttpRequestQueue::head(const QString &)
{
    return 0;
}

int HttpRequestQueue::get(const QString &, QIODevice *)
{
    return 0;
}

bool HttpRequestQueue::hasPendingRequests() const
{
    return false;
}

void HttpRequestQueue::abort() { }

QString HttpRequestQueue::errorString() const
{
    return QString();
}
