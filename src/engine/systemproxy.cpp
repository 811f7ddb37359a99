#include "systemproxy.h"

#include <QHostAddress>
#include <QUrl>

namespace {

QString environmentValue(const char *lowerName, const char *upperName, bool *set)
{
    for (const char *name : { lowerName, upperName }) {
        if (qEnvironmentVariableIsSet(name)) {
            *set = true;
            const QString value = qEnvironmentVariable(name).trimmed();
            if (!value.isEmpty())
                return value;
        }
    }
    return QString();
}

} // namespace

SystemProxy::SystemProxy()
{
    m_httpProxy = environmentValue("http_proxy", "HTTP_PROXY", &m_fromEnvironment);
    m_httpsProxy = environmentValue("https_proxy", "HTTPS_PROXY", &m_fromEnvironment);
    m_noProxy = environmentValue("no_proxy", "NO_PROXY", &m_fromEnvironment);
}

QList<QNetworkProxy> SystemProxy::queryProxy(const QNetworkProxyQuery &query)
{
    if (m_fromEnvironment)
        return fromEnvironment(query.protocolTag(), query.peerHostName());
    return systemProxyForQuery(query);
}

QNetworkProxy SystemProxy::tunnelTo(const QString &host, quint16 port)
{
    const QNetworkProxyQuery query(host, port, QStringLiteral("https"));
    const QNetworkProxy proxy = queryProxy(query).value(0, QNetworkProxy::NoProxy);
    // Only an HTTP or SOCKS proxy can carry a plain TCP connection.
    if (proxy.type() != QNetworkProxy::HttpProxy && proxy.type() != QNetworkProxy::Socks5Proxy)
        return QNetworkProxy::NoProxy;
    return proxy;
}

QList<QNetworkProxy> SystemProxy::fromEnvironment(const QString &scheme, const QString &host) const
{
    const QString &value = scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
        ? m_httpsProxy
        : m_httpProxy;
    // Loopback goes direct, as Qt's own HTTP requests do whatever the proxy.
    if (value.isEmpty() || isExempt(host, m_noProxy) || QHostAddress(host).isLoopback()
        || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return { QNetworkProxy::NoProxy };
    return { parse(value) };
}

QNetworkProxy SystemProxy::parse(const QString &value)
{
    const QUrl url = QUrl::fromUserInput(
        value.contains(QLatin1String("://")) ? value : QStringLiteral("http://") + value);
    if (!url.isValid() || url.host().isEmpty())
        return QNetworkProxy::NoProxy;
    const QString scheme = url.scheme().toLower();
    QNetworkProxy::ProxyType type = QNetworkProxy::HttpProxy;
    if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h"))
        type = QNetworkProxy::Socks5Proxy;
    else if (scheme != QLatin1String("http"))
        return QNetworkProxy::NoProxy;
    return QNetworkProxy(type, url.host(), quint16(url.port(1080)), url.userName(), url.password());
}

bool SystemProxy::isExempt(const QString &host, const QString &noProxy)
{
    const QString name = host.toLower();
    for (QString entry : noProxy.toLower().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        entry = entry.trimmed();
        if (entry == QLatin1String("*"))
            return true;
        if (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        if (!entry.isEmpty() && (name == entry || name.endsWith(QLatin1Char('.') + entry)))
            return true;
    }
    return false;
}
