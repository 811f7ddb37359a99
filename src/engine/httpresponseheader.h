#pragma once

#include <QMetaType>
#include <QString>

#include <utility>

/// The parts of an HTTP response header the download relies on.
class HttpResponseHeader
{
public:
    HttpResponseHeader() = default;
    HttpResponseHeader(int statusCode, QString reasonPhrase, qint64 contentLength,
        QByteArray entityTag = QByteArray(), QByteArray lastModified = QByteArray())
        : m_statusCode(statusCode)
        , m_reasonPhrase(std::move(reasonPhrase))
        , m_contentLength(contentLength)
        , m_entityTag(std::move(entityTag))
        , m_lastModified(std::move(lastModified))
    {
    }

    int statusCode() const { return m_statusCode; }
    QString reasonPhrase() const { return m_reasonPhrase; }
    bool hasContentLength() const { return m_contentLength >= 0; }
    /// The announced body size; 0 when the response announced none.
    qint64 contentLength() const { return m_contentLength < 0 ? 0 : m_contentLength; }
    /// The ETag and Last-Modified values as sent; empty when absent.
    QByteArray entityTag() const { return m_entityTag; }
    QByteArray lastModified() const { return m_lastModified; }

private:
    int m_statusCode = 0;
    QString m_reasonPhrase;
    qint64 m_contentLength = -1;
    QByteArray m_entityTag;
    QByteArray m_lastModified;
};

Q_DECLARE_METATYPE(HttpResponseHeader)
