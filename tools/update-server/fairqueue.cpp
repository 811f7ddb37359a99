#include "fairqueue.h"

void FairQueue::push(const Key &address, int descriptor)
{
    std::deque<int> &queue = m_queues[address];
    if (queue.empty())
        m_turns.push_back(address);
    queue.push_back(descriptor);
}

int FairQueue::pop()
{
    if (m_turns.empty())
        return -1;
    const Key address = m_turns.front();
    m_turns.pop_front();
    const auto found = m_queues.find(address);
    const int descriptor = found->front();
    found->pop_front();
    if (found->empty())
        m_queues.erase(found);
    else
        m_turns.push_back(address);
    return descriptor;
}

void FairQueue::clear()
{
    m_queues.clear();
    m_turns.clear();
}
