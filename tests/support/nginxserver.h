#pragma once

#include "serverprocess.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

/*
 * A private nginx serving a folder's files on a free loopback port, with its configuration,
 * logs, pid file and temporary folders in a folder of its own: never the system's nginx or
 * its port. Each request is logged as "<request line> <status> "<Range>" "<If-Range>"".
 *
 *     NginxServer nginx;
 *     QVERIFY2(nginx.start(folder), nginx.errorLog().constData());
 *     const QString link = nginx.url(QStringLiteral("/core.zip"));
 *
 * Or the TLS front of update servers, as the publisher runs it: each backend, plain on
 * loopback, behind a port of its own where nginx's stream module terminates TLS with a
 * certificate of tests/keys/tls, at most 100 connections at once from one address.
 *
 *     QVERIFY2(front.startTlsFront({ updateServerPort }), front.errorLog().constData());
 *     settings.updateServer = UpdateServer("127.0.0.1", front.frontPort(0));
 */
class NginxServer
{
public:
    /// True when the nginx program is installed (scripts/install-deps.sh installs it).
    static bool isInstalled();

    /// Serves the files below root; serverLines go into the server block (locations, limits).
    /// False when nginx did not start (errorLog() says why).
    bool start(const QString &root, const QByteArray &serverLines = QByteArray());
    /// Terminates TLS in front of each of backends (plain update servers on 127.0.0.1),
    /// presenting certificate; false when nginx did not start.
    bool startTlsFront(
        const QList<quint16> &backends, const QString &certificate = QStringLiteral("server"));
    void stop() { m_process.stop(); }

    quint16 port() const { return m_port; }
    /// The TLS port in front of the backend at index.
    quint16 frontPort(int index) const { return m_frontPorts.value(index); }
    /// "http://127.0.0.1:<port>" followed by path.
    QString url(const QString &path) const;
    /// The master process; its workers are its children.
    qint64 processId() const { return m_process.processId(); }
    QByteArray accessLog() const;
    QByteArray errorLog() const;

private:
    /// Writes config (its "%PORT%" a free port) and starts nginx on it; false when it failed.
    bool run(const QByteArray &config);

    QTemporaryDir m_work;
    ServerProcess m_process;
    quint16 m_port = 0;
    QList<quint16> m_frontPorts;
};
