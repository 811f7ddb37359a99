#pragma once

#include "updateentry.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

/*
 * Builds the update entries tests need, by named fields: an "app" update "core" of "orvi" at
 * version 2.0 unless told otherwise, with its package at http://updates.example/<name>.zip
 * and every other field empty.
 *
 *     engine.adoptUpdates({ EntryBuilder().name("emoticons").link(server.url(path)).make() });
 */
class EntryBuilder
{
public:
    /// A field's value, from UTF-8 bytes or from a QString.
    class Text
    {
    public:
        Text(const char *text) : m_value(text) { }
        Text(std::string text) : m_value(std::move(text)) { }
        Text(const QByteArray &text) : m_value(text.toStdString()) { }
        Text(const QString &text) : m_value(text.toStdString()) { }
        const std::string &value() const { return m_value; }

    private:
        std::string m_value;
    };

    /// Each sets the field of that name and returns the builder, for chaining.
    EntryBuilder &project(const Text &text);
    EntryBuilder &name(const Text &text);
    EntryBuilder &type(const Text &text);
    EntryBuilder &version(const Text &text);
    EntryBuilder &description(const Text &text);
    EntryBuilder &copyrights(const Text &text);
    EntryBuilder &author(const Text &text);
    EntryBuilder &webpage(const Text &text);
    EntryBuilder &email(const Text &text);
    EntryBuilder &changelog(const Text &text);
    /// The package's address; without it, http://updates.example/<name>.zip.
    EntryBuilder &link(const Text &text);
    EntryBuilder &critical(bool critical);
    EntryBuilder &timestamp(std::uint32_t timestamp);
    /// The text of the package's signature file.
    EntryBuilder &signature(const Text &text);
    /// The package's size as the server announces it.
    EntryBuilder &size(std::int64_t size);

    /// The delta offered beside the package.
    EntryBuilder &delta(const UpdateEntry::Delta &delta);
    /// A new entry the caller owns (as OrviUpdaterEngine::adoptUpdates takes them).
    UpdateEntry *make() const;
    /// A new entry.
    std::unique_ptr<UpdateEntry> build() const;

private:
    std::string m_project = "orvi";
    std::string m_name = "core";
    std::string m_type = "app";
    std::string m_version = "2.0";
    std::string m_description;
    std::string m_copyrights;
    std::string m_author;
    std::string m_webpage;
    std::string m_email;
    std::string m_changelog;
    std::optional<std::string> m_link;
    bool m_critical = false;
    std::uint32_t m_timestamp = 0;
    std::string m_signature;
    std::int64_t m_size = -1;
    UpdateEntry::Delta m_delta;
};
