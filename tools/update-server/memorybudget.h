#pragma once

#include <QtGlobal>

/*
 * The bytes that all connections together may hold in requests still arriving and replies
 * their clients have not taken yet: a client that sends much and reads nothing makes the
 * server hold memory, and this bounds what a crowd of them can make it hold.
 */
class MemoryBudget
{
public:
    /// A budget of limit bytes.
    explicit MemoryBudget(qsizetype limit) : m_limit(limit) { }

    /// The bytes held now.
    qsizetype held() const { return m_held; }
    /// The budget in bytes.
    qsizetype limit() const { return m_limit; }
    /// Sets the budget; what is held already stays held.
    void setLimit(qsizetype bytes) { m_limit = bytes; }
    /// True when bytes more fit under the limit with what is held.
    bool fits(qsizetype bytes) const { return bytes <= m_limit - m_held; }
    /// Counts bytes as held, whether or not they fit: the caller decides.
    void take(qsizetype bytes) { m_held += bytes; }
    /// Gives back bytes taken before.
    void give(qsizetype bytes) { m_held -= bytes; }

private:
    qsizetype m_limit;
    qsizetype m_held = 0;
};
