#include "proxyheader.h"

#include <QList>

namespace {

bool readPort(const QByteArray &text, quint16 *port)
{
    // Decimal digits only, without leading zeros: "+1" or "0x1bb" is no port.
    if (text.isEmpty() || text.size() > 5 || (text.size() > 1 && text.startsWith('0')))
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    const uint value = text.toUInt();
    *port = quint16(value);
    return value <= 65535;
}

bool readAddress(
    const QByteArray &text, QAbstractSocket::NetworkLayerProtocol protocol, QHostAddress *address)
{
    // QHostAddress also takes scope ids and other forms the protocol does not send.
    for (const char c : text) {
        if (!(c >= '0' && c <= '9') && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F')
            && c != '.' && c != ':')
            return false;
    }
    return address->setAddress(QString::fromLatin1(text)) && address->protocol() == protocol;
}

} // namespace

ProxyHeader::Status ProxyHeader::read(const QByteArray &received)
{
    static const QByteArray Signature = QByteArrayLiteral("PROXY ");
    m_length = 0;
    m_client.clear();
    m_clientPort = 0;
    if (!received.startsWith(Signature.left(received.size())))
        return Status::Malformed;
    const qsizetype end = received.indexOf("\r\n");
    if (end < 0 || end + 2 > MaximumSize)
        return received.size() < MaximumSize ? Status::Incomplete : Status::Malformed;
    const QList<QByteArray> fields = received.left(end).split(' ');
    if (fields.value(1) == "UNKNOWN") {
        m_length = end + 2;
        return Status::Complete;
    }
    QHostAddress destination;
    quint16 destinationPort = 0;
    const QAbstractSocket::NetworkLayerProtocol protocol
        = fields.value(1) == "TCP4" ? QAbstractSocket::IPv4Protocol : QAbstractSocket::IPv6Protocol;
    if (fields.size() != 6 || (fields.at(1) != "TCP4" && fields.at(1) != "TCP6")
        || !readAddress(fields.at(2), protocol, &m_client)
        || !readAddress(fields.at(3), protocol, &destination)
        || !readPort(fields.at(4), &m_clientPort) || !readPort(fields.at(5), &destinationPort)) {
        m_client.clear();
        return Status::Malformed;
    }
    m_length = end + 2;
    return Status::Complete;
}
