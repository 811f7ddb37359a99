#include "installationjournal.h"

#include "filesystem.h"

#include <QFile>
#include <QUrl>

namespace {
const QByteArray header = QByteArrayLiteral("orvi-journal 1\n");
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

QByteArray readJournal(const QString &downloadFolder)
{
    QFile file(InstallationJournal::filePath(downloadFolder));
    // The journal is never a link: it is replaced by rename only.
    if (FileSystem::kindOf(file.fileName()) != FileSystem::Kind::File
        || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
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

bool InstallationJournal::begin()
{
    m_text = header;
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
    const bool ok = FileSystem::replaceFile(filePath(m_downloadFolder), m_text + endLine);
    if (!ok)
        m_errorText = FileSystem::errorText();
    return ok;
}

InstallationJournal::State InstallationJournal::state(const QString &downloadFolder)
{
    if (FileSystem::kindOf(filePath(downloadFolder)) == FileSystem::Kind::Missing)
        return State::None;
    const QByteArray text = readJournal(downloadFolder);
    if (!text.startsWith(header) || !text.endsWith(endLine))
        return State::Damaged;
    const QByteArray body = text.chopped(endLine.size());
    return body.endsWith(completedLine) || body.endsWith(rolledBackLine) ? State::Finished
                                                                         : State::Unfinished;
}

QVector<VersionRecords::Record> InstallationJournal::installedVersions(
    const QString &downloadFolder)
{
    const QByteArray text = readJournal(downloadFolder);
    if (!text.startsWith(header) || !text.endsWith(completedLine + endLine))
        return {};
    return VersionRecords::fromText(text);
}

QVector<InstallationJournal::Step> InstallationJournal::steps(const QString &downloadFolder)
{
    QVector<Step> steps;
    const QList<QByteArray> lines = readJournal(downloadFolder).split('\n');
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
