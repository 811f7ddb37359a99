#pragma once

#include "componentinfo.h"

#include <cstdint>
#include <string>

/// A delta package offered beside the whole one: it turns version base into the offered one.
struct UpdateDelta
{
    /// The installed version the delta applies to; empty when none is offered.
    std::string base;
    std::string link;
    /// The text of the delta's signature file; empty when unsigned.
    std::string signature;
    /// Its size in bytes; -1 when the server announced none.
    std::int64_t size = -1;
};

/// One available update as the update server announced it; immutable once built.
class UpdateEntry : public ComponentInfo
{
public:
    using Delta = UpdateDelta;

    UpdateEntry(std::string project, std::string name, std::string type, std::string version,
        std::string description, std::string copyrights, std::string author, std::string webpage,
        std::string email, std::string changelog, std::string link, bool critical,
        std::uint32_t timestamp, std::string signature = std::string(), std::int64_t size = -1,
        Delta delta = Delta());

    const std::string &changelog() const { return m_changelog; }
    /// The address of the update package.
    const std::string &link() const { return m_link; }
    bool critical() const { return m_critical; }
    std::uint32_t timestamp() const { return m_timestamp; }
    /// The text of the package's signature file as the server sent it; empty when unsigned.
    const std::string &signature() const { return m_signature; }
    /// The package's size in bytes as the server announced it; -1 when it announced none.
    std::int64_t size() const { return m_size; }
    /// The delta offered with this update; its base is empty when none is.
    const Delta &delta() const { return m_delta; }

private:
    const std::string m_changelog;
    const std::string m_link;
    const bool m_critical;
    const std::uint32_t m_timestamp;
    const std::string m_signature;
    const std::int64_t m_size;
    const Delta m_delta;
};
