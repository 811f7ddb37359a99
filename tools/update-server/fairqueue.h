#pragma once

#include "addresstally.h"

#include <QHash>

#include <deque>

/*
 * Connections whose requests wait for their answers, a queue per client address served in
 * turn: a client that sends many requests at once waits behind its own, while another
 * address's request is answered after at most one of each address ahead of it.
 */
class FairQueue
{
public:
    using Key = AddressTally::Key;

    bool isEmpty() const { return m_turns.empty(); }
    /// The addresses with requests waiting: one round of turns.
    size_t addressCount() const { return m_turns.size(); }
    /// Queues descriptor behind the others of address.
    void push(const Key &address, int descriptor);
    /// Takes the first descriptor of the address whose turn it is; -1 when none waits.
    int pop();
    void clear();

private:
    QHash<Key, std::deque<int>> m_queues;
    // The addresses with a queue, in the order of their turns.
    std::deque<Key> m_turns;
};
