#pragma once

#include "addresstally.h"

#include <QHash>

#include <map>
#include <set>
#include <tuple>

/*
 * The connections still waiting for their requests, by client address and in the order they
 * were opened, so that at the connection limit the oldest one of the address holding the most
 * makes room for a new client: a crowd of idle connections costs its own addresses their
 * connections first, never a client that has just one.
 */
class IdleConnections
{
public:
    using Key = AddressTally::Key;

    /// Counts descriptor, the connection opened order-th, as waiting under address.
    void add(const Key &address, quint64 order, int descriptor);
    /// Forgets the connection added with address and order.
    void remove(const Key &address, quint64 order);
    /// The oldest connection of the address with the most (of those with as many, the one
    /// whose oldest is oldest); -1 when none waits.
    int oldestOfLargest() const;
    int size() const { return m_size; }

private:
    using Connections = std::map<quint64, int>;
    // (number waiting, the oldest's order inverted, address): the largest comes last.
    using Rank = std::tuple<size_t, quint64, Key>;
    static Rank rankOf(const Key &address, const Connections &connections);

    QHash<Key, Connections> m_byAddress;
    // The rank of each address with connections waiting.
    std::set<Rank> m_ranking;
    int m_size = 0;
};
