#pragma once

#include <QByteArray>
#include <QHostAddress>

/*
 * The line by which a proxy in front (nginx's "proxy_protocol on;") opens each connection
 * with the address of the client it stands for, version 1 of HAProxy's PROXY protocol:
 *   PROXY TCP4 203.0.113.7 192.0.2.1 51234 443\r\n
 *   PROXY TCP6 2001:db8::7 2001:db8::1 51234 443\r\n
 *   PROXY UNKNOWN ...\r\n          (the proxy could not tell; the connection's own peer counts)
 */
class ProxyHeader
{
public:
    /// The longest line the protocol allows, its "\r\n" included.
    static constexpr qsizetype MaximumSize = 107;

    enum class Status {
        /// The line has not ended yet and may still turn out well-formed.
        Incomplete,
        Malformed,
        Complete,
    };

    /// Reads the line at the start of received; once Complete, length() is its size with
    /// "\r\n", and client() the client's address (null for UNKNOWN) and clientPort() its port.
    Status read(const QByteArray &received);

    qsizetype length() const { return m_length; }
    const QHostAddress &client() const { return m_client; }
    quint16 clientPort() const { return m_clientPort; }

private:
    qsizetype m_length = 0;
    QHostAddress m_client;
    quint16 m_clientPort = 0;
};
