#include "addresstally.h"

#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

quint64 bigEndian64(const unsigned char *bytes)
{
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// An IPv4 address goes in as IPv6 maps it (::ffff:a.b.c.d); an IPv6 one keeps its first
// 64 bits and never has the low half of a mapped one.
constexpr quint64 Mapped = 0xffffu;

AddressTally::Key keyOfIpv6(const unsigned char *bytes)
{
    const quint64 high = bigEndian64(bytes);
    const quint64 low = bigEndian64(bytes + 8);
    if (high == 0 && low >> 32 == Mapped)
        return { 0, low };
    return { high, 0 };
}

} // namespace

AddressTally::Key AddressTally::keyOf(const sockaddr *address)
{
    if (address->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
        return { 0, Mapped << 32 | ntohl(v4->sin_addr.s_addr) };
    }
    if (address->sa_family != AF_INET6)
        return { 0, 0 };
    unsigned char bytes[16];
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, sizeof bytes);
    return keyOfIpv6(bytes);
}

AddressTally::Key AddressTally::keyOf(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return { 0, Mapped << 32 | address.toIPv4Address() };
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return { 0, 0 };
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    return keyOfIpv6(bytes.c);
}

bool AddressTally::admit(const Key &key)
{
    int &open = m_open[key];
    if (m_limit > 0 && open >= m_limit)
        return false;
    ++open;
    return true;
}

void AddressTally::release(const Key &key)
{
    const auto found = m_open.find(key);
    if (found != m_open.end() && --found.value() <= 0)
        m_open.erase(found);
}
