#pragma once

#include <string>

/// Describes one component of the main application. Strings are 8-bit and hold UTF-8.
class ComponentInfo
{
public:
    ComponentInfo(std::string project, std::string name, std::string type, std::string version,
        std::string description, std::string copyrights, std::string author, std::string webpage,
        std::string email);

    const std::string &project() const { return m_project; }
    const std::string &name() const { return m_name; }
    const std::string &type() const { return m_type; }
    const std::string &version() const { return m_version; }
    const std::string &description() const { return m_description; }
    const std::string &copyrights() const { return m_copyrights; }
    const std::string &author() const { return m_author; }
    const std::string &webpage() const { return m_webpage; }
    const std::string &email() const { return m_email; }

private:
    const std::string m_project;
    const std::string m_name;
    const std::string m_type;
    const std::string m_version;
    const std::string m_description;
    const std::string m_copyrights;
    const std::string m_author;
    const std::string m_webpage;
    const std::string m_email;
};
