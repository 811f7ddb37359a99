#include "componentinfo.h"

#include <utility>

ComponentInfo::ComponentInfo(std::string project, std::string name, std::string type,
    std::string version, std::string description, std::string copyrights, std::string author,
    std::string webpage, std::string email)
    : m_project(std::move(project))
    , m_name(std::move(name))
    , m_type(std::move(type))
    , m_version(std::move(version))
    , m_description(std::move(description))
    , m_copyrights(std::move(copyrights))
    , m_author(std::move(author))
    , m_webpage(std::move(webpage))
    , m_email(std::move(email))
{
}
