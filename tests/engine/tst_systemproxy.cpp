#include "systemproxy.h"

#include <QTest>
#include <QUrl>

Q_DECLARE_METATYPE(QNetworkProxy::ProxyType)

namespace {
const char *const Names[]
    = { "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY" };
}

class TestSystemProxy : public QObject
{
    Q_OBJECT

private slots:
    void init() { clear(); }
    void cleanup() { clear(); }
    void choosesByScheme_data();
    void choosesByScheme();

private:
    static void clear()
    {
        for (const char *name : Names)
            qunsetenv(name);
    }
};

void TestSystemProxy::choosesByScheme_data()
{
    QTest::addColumn<QStringList>("environment"); // NAME=value
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected"); // host:port, or empty for direct
    QTest::addColumn<QNetworkProxy::ProxyType>("type");

    const auto http = QNetworkProxy::HttpProxy;
    const auto none = QNetworkProxy::NoProxy;
    const QString plain = QStringLiteral("http://dl.orvi.example/p.zip");
    const QString secure = QStringLiteral("https://dl.orvi.example/p.zip");
    QTest::newRow("http_proxy for http")
        << QStringList { QStringLiteral("http_proxy=http://proxy.lan:3128") } << plain
        << QStringLiteral("proxy.lan:3128") << http;
    QTest::newRow("https_proxy for https")
        << QStringList { QStringLiteral("http_proxy=http://a.lan:1"),
               QStringLiteral("https_proxy=b.lan:2") }
        << secure << QStringLiteral("b.lan:2") << http;
    QTest::newRow("http_proxy not for https")
        << QStringList { QStringLiteral("http_proxy=http://a.lan:1") } << secure << QString()
        << none;
    QTest::newRow("upper-case name") << QStringList { QStringLiteral("HTTPS_PROXY=b.lan:2") }
                                     << secure << QStringLiteral("b.lan:2") << http;
    QTest::newRow("lower-case name first") << QStringList { QStringLiteral("HTTP_PROXY=u.lan:1"),
        QStringLiteral("http_proxy=l.lan:2") }
                                           << plain << QStringLiteral("l.lan:2") << http;
    QTest::newRow("no port: 1080") << QStringList { QStringLiteral("http_proxy=p.lan") } << plain
                                   << QStringLiteral("p.lan:1080") << http;
    QTest::newRow("socks5") << QStringList { QStringLiteral("http_proxy=socks5://s.lan:9") }
                            << plain << QStringLiteral("s.lan:9") << QNetworkProxy::Socks5Proxy;
    QTest::newRow("no_proxy host") << QStringList { QStringLiteral("http_proxy=p.lan:1"),
        QStringLiteral("no_proxy=other.example, dl.orvi.example") }
                                   << plain << QString() << none;
    QTest::newRow("no_proxy domain") << QStringList { QStringLiteral("http_proxy=p.lan:1"),
        QStringLiteral("NO_PROXY=.orvi.example") }
                                     << plain << QString() << none;
    QTest::newRow("no_proxy is no suffix match") << QStringList {
        QStringLiteral("http_proxy=p.lan:1"), QStringLiteral("no_proxy=rvi.example")
    } << plain << QStringLiteral("p.lan:1") << http;
    QTest::newRow("no_proxy star")
        << QStringList { QStringLiteral("http_proxy=p.lan:1"), QStringLiteral("no_proxy=*") }
        << plain << QString() << none;
    QTest::newRow("loopback direct")
        << QStringList { QStringLiteral("http_proxy=p.lan:1") }
        << QStringLiteral("http://127.0.0.1:8080/p.zip") << QString() << none;
}

void TestSystemProxy::choosesByScheme()
{
    QFETCH(QStringList, environment);
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QFETCH(QNetworkProxy::ProxyType, type);

    for (const QString &assignment : environment) {
        const qsizetype equals = assignment.indexOf(QLatin1Char('='));
        qputenv(
            assignment.left(equals).toLatin1().constData(), assignment.mid(equals + 1).toLatin1());
    }
    SystemProxy proxy;
    const QNetworkProxy chosen = proxy.queryProxy(QNetworkProxyQuery(QUrl(url))).value(0);
    QCOMPARE(chosen.type(), type);
    if (type != QNetworkProxy::NoProxy)
        QCOMPARE(QStringLiteral("%1:%2").arg(chosen.hostName()).arg(chosen.port()), expected);
    // The update query's tunnel is the https proxy.
    const QNetworkProxy tunnel = proxy.tunnelTo(QUrl(url).host(), 443);
    const QNetworkProxy https
        = proxy.queryProxy(QNetworkProxyQuery(QUrl(QStringLiteral("https://") + QUrl(url).host())))
              .value(0);
    QCOMPARE(tunnel.type(), https.type());
    QCOMPARE(tunnel.hostName(), https.hostName());
}

QTEST_GUILESS_MAIN(TestSystemProxy)
#include "tst_systemproxy.moc"
