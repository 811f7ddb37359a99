#pragma once

#include "serverprocess.h"

#include <QByteArray>
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
 */
class NginxServer
{
public:
    /// True when the nginx program is installed (scripts/install-deps.sh installs it).
    static bool isInstalled();

    /// Serves the files below root; serverLines go into the server block (locations, limits).
    /// False when nginx did not start (errorLog() says why).
    bool start(const QString &root, const QByteArray &serverLines = QByteArray());
    void stop() { m_process.stop(); }

    quint16 port() const { return m_port; }
    /// "http://127.0.0.1:<port>" followed by path.
    QString url(const QString &path) const;
    /// The master process; its workers are its children.
    qint64 processId() const { return m_process.processId(); }
    QByteArray accessLog() const;
    QByteArray errorLog() const;

private:
    QTemporaryDir m_work;
    ServerProcess m_process;
    quint16 m_port = 0;
};
