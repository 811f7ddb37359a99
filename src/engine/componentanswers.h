#pragma once

#include "componentkey.h"

#include <QByteArray>
#include <QHash>
#include <QString>

/*
 * The components of the inventory that the update server must answer, read as the server
 * reads them, and which of them an answer has answered: a signed answer that leaves one out
 * hides it, so it is refused. The server leaves out an unknown component with a project, name
 * or type of more than MaximumEchoedText bytes (UTF-8), which is therefore not expected.
 */
class ComponentAnswers
{
public:
    static constexpr qsizetype MaximumEchoedText = ComponentKey::MaximumEchoedText;
    /// The most components the update server reads from one request.
    static constexpr qsizetype MaximumComponents = 10000;

    /// Expects nothing.
    ComponentAnswers() = default;

    /// The components of inventory (the main application's bytes, sent as Latin-1 characters
    /// in UTF-8), each expected once however often it is listed. Decoded as the server decodes
    /// the request: as UTF-8 where that is valid, else byte by byte. None when the server
    /// could not read it (not well-formed, too many components).
    static ComponentAnswers expectedFor(const QByteArray &inventory);

    /// Notes an answer about the component project, name, type.
    void answer(const QString &project, const QString &name, const QString &type);
    /// The number of expected components.
    qsizetype expected() const { return m_answered.size(); }
    /// The number of expected components no answer has answered.
    qsizetype unanswered() const { return m_unanswered; }
    /// One of those, as "project/name/type", for a diagnostic line; empty when none.
    QString firstUnanswered() const;

private:
    QHash<ComponentKey, bool> m_answered;
    qsizetype m_unanswered = 0;
};
