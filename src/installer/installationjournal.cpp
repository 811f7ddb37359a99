#include "installationjournal.h"

#include "filesystem.h"
#include "folder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QUrl>

#include <iterator>

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

// The journal's lines one at a time, each with its newline; none past the end or at a line
// too long for any journal this updater writes.
class LineReader
{
public:
    explicit LineReader(QFile *file) : m_file(file) { }
    bool next(QByteArray *line)
    {
        // A path is at most a few thousand characters, each at most twelve once encoded.
        constexpr qint64 longestLine = 1024 * 1024;
        *line = m_file->readLine(longestLine);
        return line->endsWith('\n');
    }

private:
    QFile *m_file;
};

void readRecord(const QByteArray &line, bool first, InstallationJournal::Contents *contents)
{
    if (line.startsWith("step ")) {
        const QList<QByteArray> fields = line.chopped(1).split(' ');
        if (fields.size() != 5)
            return;
        PlanStep step;
        for (int kind = 0; kind < int(std::size(kindNames)); ++kind) {
            if (fields.at(1) == kindNames[kind])
                step.kind = PlanStep::Kind(kind);
        }
        step.target = decoded(fields.at(2));
        step.backup = decoded(fields.at(3));
        step.temporary = decoded(fields.at(4));
        contents->steps.append(step);
    } else if (first && line.startsWith("folders ")) {
        const QList<QByteArray> fields = line.chopped(1).split(' ');
        if (fields.size() == 3)
            contents->folders = { decoded(fields.at(1)), decoded(fields.at(2)) };
    } else {
        contents->installed += VersionRecords::fromText(line);
    }
}

// The journal read once, line by line, its checksum taken on the way; Damaged when it is not a
// whole journal (cut short, edited, too large, or not a journal at all).
InstallationJournal::Contents readContents(QFile *file)
{
    using Contents = InstallationJournal::Contents;
    Contents contents;
    contents.state = InstallationJournal::State::Damaged;
    if (file->size() > InstallationJournal::largestJournal)
        return contents;
    LineReader reader(file);
    QByteArray first;
    if (!reader.next(&first) || (first != header && first != formerHeader))
        return contents;
    const bool checksummed = first == header;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(first);
    // A line is a record only once a later one shows that it is neither the checksum nor the
    // end; the last record tells how the run ended.
    QByteArray lastRecord;
    QByteArray previous;
    QByteArray line;
    bool hasPrevious = false;
    qint64 records = 0;
    while (reader.next(&line)) {
        if (line == endLine) {
            if (file->atEnd()) {
                const bool whole = checksummed
                    ? hasPrevious && previous == checksumWord + hash.result().toHex() + '\n'
                    : true;
                if (!whole)
                    return Contents { InstallationJournal::State::Damaged, {}, {}, {} };
                if (!checksummed && hasPrevious) {
                    readRecord(previous, records == 0, &contents);
                    lastRecord = previous;
                }
                const bool finished = lastRecord == completedLine || lastRecord == rolledBackLine;
                contents.state = finished ? InstallationJournal::State::Finished
                                          : InstallationJournal::State::Unfinished;
                if (lastRecord != completedLine)
                    contents.installed.clear();
                if (finished)
                    contents.steps.clear();
                if (!checksummed)
                    contents.folders = {};
                return contents;
            }
        }
        if (hasPrevious) {
            hash.addData(previous);
            readRecord(previous, records++ == 0, &contents);
            lastRecord = std::move(previous);
        }
        previous = std::move(line);
        hasPrevious = true;
    }
    return Contents { InstallationJournal::State::Damaged, {}, {}, {} };
}

InstallationJournal::Contents readJournal(const QString &downloadFolder)
{
    // The journal is never a link: it is replaced by rename only. Read relative to the folder
    // opened without following a link, so that no name above it is followed twice.
    if (FileSystem::kindOf(InstallationJournal::filePath(downloadFolder))
        == FileSystem::Kind::Missing)
        return {};
    const FileSystem::Handle handle = Folder::open(downloadFolder).read(QStringLiteral("journal"));
    QFile file;
    if (handle < 0 || !file.open(handle, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        InstallationJournal::Contents unreadable;
        unreadable.state = InstallationJournal::State::Damaged;
        return unreadable;
    }
    return readContents(&file);
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

InstallationJournal::Contents InstallationJournal::read(const QString &downloadFolder)
{
    return readJournal(downloadFolder);
}

InstallationJournal::State InstallationJournal::state(const QString &downloadFolder)
{
    return read(downloadFolder).state;
}

QVector<VersionRecords::Record> InstallationJournal::installedVersions(
    const QString &downloadFolder)
{
    return read(downloadFolder).installed;
}

QVector<InstallationJournal::Step> InstallationJournal::steps(const QString &downloadFolder)
{
    return read(downloadFolder).steps;
}

InstallationJournal::Folders InstallationJournal::folders(const QString &downloadFolder)
{
    return read(downloadFolder).folders;
}
