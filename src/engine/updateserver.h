#pragma once

#include <QString>

/// Where the update query goes: the built-in host on port 443, unless ORVI_UPDATE_SERVER
/// ("host:port") names a staging server.
class UpdateServer
{
public:
    UpdateServer(QString host, quint16 port) : m_host(std::move(host)), m_port(port) { }

    /// The built-in endpoint, or the one ORVI_UPDATE_SERVER names.
    static UpdateServer fromEnvironment();
    /// Parses "host:port"; a value without a valid port keeps port 443.
    static UpdateServer parse(const QString &value);

    QString host() const { return m_host; }
    quint16 port() const { return m_port; }

private:
    QString m_host;
    quint16 m_port;
};
