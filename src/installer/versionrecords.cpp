#include "versionrecords.h"

#include "filesystem.h"

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

bool sameComponent(const VersionRecords::Record &a, const VersionRecords::Record &b)
{
    return a.root == b.root && a.project == b.project && a.name == b.name && a.type == b.type;
}
} // namespace

VersionRecords::VersionRecords(const QString &folder) : m_folder(folder) { }

QString VersionRecords::filePath() const
{
    return m_folder + QLatin1String("/versions");
}

QString VersionRecords::rootKey(const QString &root)
{
    return QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(root)).absoluteFilePath());
}

QByteArray VersionRecords::recorded(const QString &root, const QByteArray &project,
    const QByteArray &name, const QByteArray &type) const
{
    const Record wanted { rootKey(root), project, name, type, QByteArray() };
    for (const Record &record : read()) {
        if (sameComponent(record, wanted))
            return record.version;
    }
    return QByteArray();
}

bool VersionRecords::record(const QVector<Record> &records)
{
    QVector<Record> all = read();
    for (Record record : records) {
        record.root = rootKey(record.root);
        const auto same = std::find_if(all.begin(), all.end(),
            [&record](const Record &kept) { return sameComponent(kept, record); });
        if (same != all.end())
            *same = record;
        else
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

QVector<VersionRecords::Record> VersionRecords::read() const
{
    QFile file(filePath());
    // Only a whole file counts: it is replaced by rename, never written in place.
    if (m_folder.isEmpty() || FileSystem::kindOf(file.fileName()) != FileSystem::Kind::File
        || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    if (!text.startsWith(header) || !text.endsWith(endLine))
        return {};
    return fromText(text);
}
