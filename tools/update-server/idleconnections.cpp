#include "idleconnections.h"

IdleConnections::Rank IdleConnections::rankOf(const Key &address, const Connections &connections)
{
    return { connections.size(), ~connections.begin()->first, address };
}

void IdleConnections::add(const Key &address, quint64 order, int descriptor)
{
    Connections &connections = m_byAddress[address];
    if (connections.count(order) != 0)
        return;
    if (!connections.empty())
        m_ranking.erase(rankOf(address, connections));
    connections.emplace(order, descriptor);
    m_ranking.insert(rankOf(address, connections));
    ++m_size;
}

void IdleConnections::remove(const Key &address, quint64 order)
{
    const auto found = m_byAddress.find(address);
    if (found == m_byAddress.end() || found->count(order) == 0)
        return;
    m_ranking.erase(rankOf(address, *found));
    found->erase(order);
    --m_size;
    if (found->empty())
        m_byAddress.erase(found);
    else
        m_ranking.insert(rankOf(address, *found));
}

int IdleConnections::oldestOfLargest() const
{
    if (m_ranking.empty())
        return -1;
    return m_byAddress.constFind(std::get<2>(*m_ranking.rbegin()))->begin()->second;
}
