#include "entrybuilder.h"

EntryBuilder &EntryBuilder::project(const Text &text)
{
    m_project = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::name(const Text &text)
{
    m_name = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::type(const Text &text)
{
    m_type = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::version(const Text &text)
{
    m_version = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::description(const Text &text)
{
    m_description = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::copyrights(const Text &text)
{
    m_copyrights = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::author(const Text &text)
{
    m_author = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::webpage(const Text &text)
{
    m_webpage = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::email(const Text &text)
{
    m_email = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::changelog(const Text &text)
{
    m_changelog = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::link(const Text &text)
{
    m_link = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::critical(bool critical)
{
    m_critical = critical;
    return *this;
}

EntryBuilder &EntryBuilder::timestamp(std::uint32_t timestamp)
{
    m_timestamp = timestamp;
    return *this;
}

EntryBuilder &EntryBuilder::signature(const Text &text)
{
    m_signature = text.value();
    return *this;
}

EntryBuilder &EntryBuilder::size(std::int64_t size)
{
    m_size = size;
    return *this;
}

EntryBuilder &EntryBuilder::delta(const UpdateEntry::Delta &delta)
{
    m_delta = delta;
    return *this;
}

UpdateEntry *EntryBuilder::make() const
{
    return build().release();
}

std::unique_ptr<UpdateEntry> EntryBuilder::build() const
{
    return std::make_unique<UpdateEntry>(m_project, m_name, m_type, m_version, m_description,
        m_copyrights, m_author, m_webpage, m_email, m_changelog,
        m_link.value_or("http://updates.example/" + m_name + ".zip"), m_critical, m_timestamp,
        m_signature, m_size, m_delta);
}
