#include "updateentry.h"

#include <utility>

UpdateEntry::UpdateEntry(std::string project, std::string name, std::string type,
    std::string version, std::string description, std::string copyrights, std::string author,
    std::string webpage, std::string email, std::string changelog, std::string link, bool critical,
    std::uint32_t timestamp, std::string signature, std::int64_t size, Delta delta)
    : ComponentInfo(std::move(project), std::move(name), std::move(type), std::move(version),
        std::move(description), std::move(copyrights), std::move(author), std::move(webpage),
        std::move(email))
    , m_changelog(std::move(changelog))
    , m_link(std::move(link))
    , m_critical(critical)
    , m_timestamp(timestamp)
    , m_signature(std::move(signature))
    , m_size(size)
    , m_delta(std::move(delta))
{
}
