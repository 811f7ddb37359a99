#include "folder.h"

#include <utility>

Folder::Folder(Folder &&other) noexcept
    : m_path(std::move(other.m_path))
    , m_handle(std::exchange(other.m_handle, -1))
    , m_open(std::exchange(other.m_open, false))
{
}

Folder &Folder::operator=(Folder &&other) noexcept
{
    if (this != &other) {
        Folder old(std::move(*this));
        m_path = std::move(other.m_path);
        m_handle = std::exchange(other.m_handle, -1);
        m_open = std::exchange(other.m_open, false);
    }
    return *this;
}

bool Folder::isOpen() const
{
    return m_open;
}
