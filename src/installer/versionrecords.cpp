#include "versionrecords.h"

#include "filesystem.h"
#include "versionnumber.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {
const QByteArray header = QByteArrayLiteral("orvi-versions 1\n");
const QByteArray endLine = QByteArrayLiteral("end\n");
const QByteArray recordWord = QByteArrayLiteral("installed");

QByteArray encoded(const QByteArray &field)
{
    // Never empty, so that the fields stay apart.
    return field.isEmpty() ? QByteArrayLiteral("-") : field.toPercentEncoding();
}

QByteArray decoded(const QByteArray &field)
{
    return field == "-" ? QByteArray() : QByteArray::fromPercentEncoding(field);
}

// The most names tried for a file set aside; more unreadable files than that are not ours.
constexpr int MaximumSetAside = 100;

// b's root must be a key already; a's may have been written before keys were resolved.
bool sameComponent(const VersionRecords::Record &a, const VersionRecords::Record &b)
{
    return a.project == b.project && a.name == b.name && a.type == b.type
        && (a.root == b.root || VersionRecords::rootKey(a.root) == b.root);
}
} // namespace

VersionRecords::VersionRecords(const QString &folder) : m_folder(folder) { }

QString VersionRecords::filePath() const
{
    return m_folder + QLatin1String("/versions");
}

QString VersionRecords::rootKey(const QString &root)
{
    const QString absolute
        = QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(root)).absoluteFilePath());
    // A root reached through a link shares the records of the folder it leads to.
    const QString canonical = QFileInfo(absolute).canonicalFilePath();
    return canonical.isEmpty() ? absolute : canonical;
}

QByteArray VersionRecords::recorded(const QString &root, const QByteArray &project,
    const QByteArray &name, const QByteArray &type) const
{
    const Record wanted { rootKey(root), project, name, type, QByteArray() };
    QVector<Record> records;
    read(&records);
    QByteArray newest;
    for (const Record &record : records) {
        if (sameComponent(record, wanted))
            newest = VersionNumber::newer(newest, record.version);
    }
    return newest;
}

bool VersionRecords::record(const QVector<Record> &records)
{
    QVector<Record> all;
    // What cannot be read is kept for a person to look into, never written over.
    if (read(&all) == FileState::Unreadable && !setAside())
        return false;
    for (Record record : records) {
        record.root = rootKey(record.root);
        all.erase(std::remove_if(all.begin(), all.end(),
                      [&record](const Record &kept) { return sameComponent(kept, record); }),
            all.end());
        all.append(record);
    }
    // The folder holds nothing for other users to read or plant.
    if (m_folder.isEmpty()
        || (!QFileInfo(m_folder).isDir()
            && !(QDir().mkpath(QFileInfo(m_folder).path())
                && FileSystem::makeFolder(m_folder, true)))) {
        m_errorText
            = m_folder.isEmpty() ? QStringLiteral("no state folder") : FileSystem::errorText();
        return false;
    }
    if (!FileSystem::replaceFile(filePath(), header + toText(all) + endLine)) {
        m_errorText = FileSystem::errorText();
        return false;
    }
    return true;
}

QByteArray VersionRecords::toText(const QVector<Record> &records)
{
    QByteArray text;
    for (const Record &record : records) {
        text += recordWord + ' ' + encoded(record.root.toUtf8()) + ' ' + encoded(record.project)
            + ' ' + encoded(record.name) + ' ' + encoded(record.type) + ' '
            + encoded(record.version) + '\n';
    }
    return text;
}

QVector<VersionRecords::Record> VersionRecords::fromText(const QByteArray &text)
{
    QVector<Record> records;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 6 || fields.at(0) != recordWord)
            continue;
        records.append({ QString::fromUtf8(decoded(fields.at(1))), decoded(fields.at(2)),
            decoded(fields.at(3)), decoded(fields.at(4)), decoded(fields.at(5)) });
    }
    return records;
}

VersionRecords::FileState VersionRecords::read(QVector<Record> *records) const
{
    records->clear();
    if (m_folder.isEmpty())
        return FileState::Missing;
    const FileSystem::Kind kind = FileSystem::kindOf(filePath());
    if (kind == FileSystem::Kind::Missing)
        return FileState::Missing;
    QFile file(filePath());
    // Only a whole file counts: it is replaced by rename, never written in place.
    if (kind != FileSystem::Kind::File || !file.open(QIODevice::ReadOnly))
        return FileState::Unreadable;
    const QByteArray text = file.readAll();
    if (!text.startsWith(header) || !text.endsWith(endLine))
        return FileState::Unreadable;
    *records = fromText(text);
    return FileState::Read;
}

bool VersionRecords::setAside()
{
    for (int number = 1; number <= MaximumSetAside; ++number) {
        const QString aside = filePath() + QStringLiteral(".unreadable-%1").arg(number);
        if (FileSystem::kindOf(aside) != FileSystem::Kind::Missing)
            continue;
        if (!FileSystem::rename(filePath(), aside)) {
            m_errorText = FileSystem::errorText();
            return false;
        }
        return true;
    }
    m_errorText = QCoreApplication::translate(
        "translation", "%1 cannot be read and there is no free name to keep it aside", "nc")
                      .arg(QDir::toNativeSeparators(filePath()));
    return false;
}
