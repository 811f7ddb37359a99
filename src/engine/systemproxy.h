#pragma once

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QString>

/*
 * The proxies the updater uses, as most command-line programs choose them: http_proxy for
 * http links, https_proxy for https links, no_proxy for the hosts that go direct (lower-case
 * names first, then upper-case); loopback addresses and "localhost" always go direct. When
 * any of them is set the environment alone decides; only when none is set does Qt's own
 * system lookup (desktop settings) answer.
 */
class SystemProxy : public QNetworkProxyFactory
{
public:
    /// Reads the environment once.
    SystemProxy();

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;
    /// The proxy that tunnels the update query (plain TCP) to host and port with HTTP
    /// CONNECT: the one https_proxy names, unless no_proxy exempts host.
    QNetworkProxy tunnelTo(const QString &host, quint16 port);

    /// "host:port" or "http://[user:password@]host[:port]" as a proxy; port 1080 when none
    /// is given. NoProxy when value names none.
    static QNetworkProxy parse(const QString &value);
    /// True when the no_proxy list exempts host: "*", the host itself, or a domain it is in.
    static bool isExempt(const QString &host, const QString &noProxy);

private:
    QList<QNetworkProxy> fromEnvironment(const QString &scheme, const QString &host) const;

    bool m_fromEnvironment = false;
    QString m_httpProxy;
    QString m_httpsProxy;
    QString m_noProxy;
};
