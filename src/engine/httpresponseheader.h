#pragma once

#include <QMetaType>
#include <QString>

#include <utility>

/// The parts of an HTTP response header the download relies on.
class HttpResponseHeader
{
public:
    HttpResponseHeader() = default;
    HttpResponseHeader(int statusCode, QString reasonPhrase, qint64 contentLength)
        : m_statusCode(statusCode), m_reasonPhrase(std::move(reasonPhrase)),
          m_contentLength(contentLength)
    {
    }

    int statusCode() const { return m_statusCode; }
    QString reasonPhrase() const { return m_reasonPhrase; }
    bool hasContentLength() const { return m_contentLength >= 0; }
    /// The announced body size; 0 when the response announced none.
    qint64 contentLength() const { return m_contentLength < 0 ? 0 : m_contentLength; }

private:
    int m_statusCode = 0;
    QString m_reasonPhrase;
    qint64 m_contentLength = -1;
};

Q_DECLARE_METATYPE(HttpResponseHeader)
