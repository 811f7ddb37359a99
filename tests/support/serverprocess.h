#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

/*
 * A server program (nginx, tinyproxy) started by a test and stopped on every way out: start()
 * returns once it accepts connections on its loopback port, the destructor stops it.
 */
class ServerProcess
{
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    /// Starts program and waits up to 5 s for it to accept on 127.0.0.1:port; false when it
    /// did not start, ended or never accepted.
    bool start(const QString &program, const QStringList &arguments, quint16 port);
    /// Ends it with SIGTERM (SIGKILL after 5 s) and waits for it.
    void stop();
    qint64 processId() const { return m_process.processId(); }

    /// A port free on 127.0.0.1 when asked (0 when none is).
    static quint16 freePort();
    /// The program found in PATH or the system folders; empty when it is not installed.
    static QString findProgram(const QString &name);

private:
    QProcess m_process;
};
