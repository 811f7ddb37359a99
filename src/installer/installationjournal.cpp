#include "installationjournal.h"

#include "filesystem.h"
#include "folder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QUrl>

#include <optional>

namespace {
const QByteArray header = QByteArrayLiteral("orvi-journal 2\n");
// What the previous updater wrote: no folders, no checksum; still undone.
const QByteArray formerHeader = QByteArrayLiteral("orvi-journal 1\n");
const QByteArray checksumWord = QByteArrayLiteral("checksum ");
const QByteArray endLine = QByteArrayLiteral("end\n");
const QByteArray completedLine = QByteArrayLiteral("completed\n");
const QByteArray rolledBackLine = QByteArrayLiteral("rolled-back\n");

const char *const kindNames[] = { "create", "replace", "remove", "overwrite", "folder" };

QByteArray encoded(const QString &text)
{
    // Never empty, so that the fields stay apart.
    return text.isEmpty() ? QByteArrayLiteral("-") : QUrl::toPercentEncoding(text);
}

QString decoded(const QByteArray &field)
{
    return field == "-" ? QString() : QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

QByteArray checksumLine(const QByteArray &records)
{
    return checksumWord + QCryptographicHash::hash(records, QCryptographicHash::Sha256).toHex()
        + '\n';
}

QByteArray readJournal(const QString &downloadFolder)
{
    // The journal is never a link: it is replaced by rename only. Read relative to the folder
    // opened without following a link, so that no name above it is followed twice.
    const FileSystem::Handle handle = Folder::open(downloadFolder).read(QStringLiteral("journal"));
    QFile file;
    if (handle < 0 || !file.open(handle, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return QByteArray();
    return file.readAll();
}

// The records of a whole journal, without its checksum and end lines; nothing when the text
// is not one (cut short, edited, or not a journal at all).
std::optional<QByteArray> recordsOf(const QByteArray &text)
{
    if (!text.endsWith(endLine))
        return std::nullopt;
    const QByteArray body = text.chopped(endLine.size());
    if (text.startsWith(formerHeader))
        return body;
    if (!text.startsWith(header))
        return std::nullopt;
    const qsizetype checksumAt = body.lastIndexOf('\n', body.size() - 2) + 1;
    const QByteArray records = body.left(checksumAt);
    if (checksumAt <= 0 || body.mid(checksumAt) != checksumLine(records))
        return std::nullopt;
    return records;
}

std::optional<QByteArray> readRecords(const QString &downloadFolder)
{
    return recordsOf(readJournal(downloadFolder));
}

} // namespace

InstallationJournal::InstallationJournal(const QString &downloadFolder)
    : m_downloadFolder(downloadFolder)
{
}

QString InstallationJournal::filePath(const QString &downloadFolder)
{
    return downloadFolder + QLatin1String("/journal");
}

bool InstallationJournal::begin(const Folders &folders)
{
    m_text = header + QByteArrayLiteral("folders ") + encoded(folders.application) + ' '
        + encoded(folders.plugins) + '\n';
    return write();
}

bool InstallationJournal::addPackage(const QString &packageName, const QVector<Step> &steps)
{
    QByteArray record = QByteArrayLiteral("package ") + encoded(packageName) + '\n';
    for (const Step &step : steps) {
        record += QByteArrayLiteral("step ") + kindNames[int(step.kind)] + ' '
            + encoded(step.target) + ' ' + encoded(step.backup) + ' ' + encoded(step.temporary)
            + '\n';
    }
    m_text += record;
    return write();
}

bool InstallationJournal::finish(bool completed, const QVector<VersionRecords::Record> &installed)
{
    // The versions go in the same write as the record that makes the run count.
    if (completed)
        m_text += VersionRecords::toText(installed);
    m_text += completed ? completedLine : rolledBackLine;
    return write();
}

bool InstallationJournal::write()
{
    // Replaced whole, so that a crash leaves either the old journal or the new one.
    const bool ok = FileSystem::replaceFile(
        filePath(m_downloadFolder), m_text + checksumLine(m_text) + endLine);
    if (!ok)
        m_errorText = FileSystem::errorText();
    return ok;
}

InstallationJournal::State InstallationJournal::state(const QString &downloadFolder)
{
    if (FileSystem::kindOf(filePath(downloadFolder)) == FileSystem::Kind::Missing)
        return State::None;
    const std::optional<QByteArray> records = readRecords(downloadFolder);
    if (!records)
        return State::Damaged;
    return records->endsWith(completedLine) || records->endsWith(rolledBackLine)
        ? State::Finished
        : State::Unfinished;
}

QVector<VersionRecords::Record> InstallationJournal::installedVersions(
    const QString &downloadFolder)
{
    const std::optional<QByteArray> records = readRecords(downloadFolder);
    if (!records || !records->endsWith(completedLine))
        return {};
    return VersionRecords::fromText(*records);
}

QVector<InstallationJournal::Step> InstallationJournal::steps(const QString &downloadFolder)
{
    QVector<Step> steps;
    const QList<QByteArray> lines = readRecords(downloadFolder).value_or(QByteArray()).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 5 || fields.at(0) != "step")
            continue;
        Step step;
        for (int kind = 0; kind < int(std::size(kindNames)); ++kind) {
            if (fields.at(1) == kindNames[kind])
                step.kind = Step::Kind(kind);
        }
        step.target = decoded(fields.at(2));
        step.backup = decoded(fields.at(3));
        step.temporary = decoded(fields.at(4));
        steps.append(step);
    }
    return steps;
}

InstallationJournal::Folders InstallationJournal::folders(const QString &downloadFolder)
{
    const QByteArray records = readRecords(downloadFolder).value_or(QByteArray());
    if (!records.startsWith(header))
        return {};
    const QList<QByteArray> fields = records.mid(header.size()).split('\n').value(0).split(' ');
    if (fields.size() != 3 || fields.at(0) != "folders")
        return {};
    return { decoded(fields.at(1)), decoded(fields.at(2)) };
}
