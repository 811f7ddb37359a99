#pragma once

#include <QHash>
#include <QHostAddress>

#include <utility>

struct sockaddr;

/*
 * The connections open from each peer address, against a limit per address, so that one
 * peer cannot take every connection. An IPv6 peer counts by its /64 prefix, the block one
 * site usually gets; an IPv4 peer, mapped into IPv6 or not, by its address.
 */
class AddressTally
{
public:
    using Key = std::pair<quint64, quint64>;

    /// The key address counts under.
    static Key keyOf(const sockaddr *address);
    static Key keyOf(const QHostAddress &address);

    /// Connections allowed from one address; 0 (the default) lifts the limit.
    void setLimit(int connections) { m_limit = connections; }
    int limit() const { return m_limit; }
    /// Counts one more connection from key; false, counting nothing, when key has reached
    /// the limit.
    bool admit(const Key &key);
    /// Counts one connection from key less.
    void release(const Key &key);

private:
    int m_limit = 0;
    QHash<Key, int> m_open;
};
