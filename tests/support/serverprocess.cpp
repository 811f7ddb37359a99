#include "serverprocess.h"

#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::start(const QString &program, const QStringList &arguments, quint16 port)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(5000))
        return false;
    for (int attempt = 0; attempt < 50 && m_process.state() == QProcess::Running; ++attempt) {
        if (accepts(port))
            return true;
        m_process.waitForFinished(100);
    }
    return false;
}

void ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // nginx and tinyproxy stop their workers and exit on SIGTERM.
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

quint16 ServerProcess::freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QString ServerProcess::findProgram(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    if (!found.isEmpty())
        return found;
    return QStandardPaths::findExecutable(name,
        { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
            QStringLiteral("/usr/local/sbin") });
}
