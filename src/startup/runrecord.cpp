#include "runrecord.h"

#include "filesystem.h"
#include "platform.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
// Raised only when a field changes its meaning; a reader skips fields it does not know.
constexpr int FormatVersion = 1;
} // namespace

void RunRecord::setOutcome(Outcome outcome, const QString &reason)
{
    m_outcome = outcome;
    m_reason = reason;
}

QString RunRecord::filePath()
{
    const QString folder = Platform::stateFolder();
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/last-run.json");
}

QString RunRecord::outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Relocated:
        return QStringLiteral("relocated");
    case Outcome::RelocationFailed:
        return QStringLiteral("relocation-failed");
    case Outcome::UnsafeFolder:
        return QStringLiteral("unsafe-folder");
    case Outcome::AnotherRun:
        return QStringLiteral("another-run");
    case Outcome::LockFailed:
        return QStringLiteral("lock-failed");
    case Outcome::InterruptedElsewhere:
        return QStringLiteral("interrupted-elsewhere");
    case Outcome::RecoveryFailed:
        return QStringLiteral("recovery-failed");
    case Outcome::QueryFailed:
        return QStringLiteral("query-failed");
    case Outcome::ChannelRefused:
        return QStringLiteral("channel-refused");
    case Outcome::NoUpdates:
        return QStringLiteral("no-updates");
    case Outcome::FolderNotWritable:
        return QStringLiteral("folder-not-writable");
    case Outcome::Cancelled:
        return QStringLiteral("cancelled");
    case Outcome::DownloadFailed:
        return QStringLiteral("download-failed");
    case Outcome::Installed:
        return QStringLiteral("installed");
    case Outcome::RolledBack:
        return QStringLiteral("rolled-back");
    case Outcome::RollbackFailed:
        return QStringLiteral("rollback-failed");
    case Outcome::Error:
        break;
    }
    return QStringLiteral("error");
}

QByteArray RunRecord::toJson(int exitCode, const QDateTime &time) const
{
    QJsonArray components;
    for (const Component &component : m_components) {
        components.append(
            QJsonObject { { QStringLiteral("project"), QString::fromUtf8(component.project) },
                { QStringLiteral("name"), QString::fromUtf8(component.name) },
                { QStringLiteral("type"), QString::fromUtf8(component.type) },
                { QStringLiteral("before"), QString::fromUtf8(component.before) },
                { QStringLiteral("after"), QString::fromUtf8(component.after) } });
    }
    const QJsonObject record { { QStringLiteral("format"), FormatVersion },
        { QStringLiteral("runId"), m_runId },
        { QStringLiteral("time"), time.toUTC().toString(Qt::ISODate) },
        { QStringLiteral("exitCode"), exitCode },
        { QStringLiteral("outcome"), outcomeName(m_outcome) },
        { QStringLiteral("components"), components },
        { QStringLiteral("failedPackage"), m_failedPackage },
        { QStringLiteral("reason"), m_reason } };
    return QJsonDocument(record).toJson(QJsonDocument::Indented);
}

bool RunRecord::write(int exitCode)
{
    // Also a run that ends before the state folder was checked must not write through a
    // folder someone else controls.
    m_errorText = Platform::prepareStateFolder();
    if (m_errorText.isEmpty() && filePath().isEmpty())
        m_errorText = QStringLiteral("no state folder");
    if (!m_errorText.isEmpty())
        return false;
    if (!FileSystem::replaceFile(filePath(), toJson(exitCode, QDateTime::currentDateTimeUtc()))) {
        m_errorText = FileSystem::errorText();
        return false;
    }
    return true;
}
