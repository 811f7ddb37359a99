#include "foldersnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringList>

QMap<QString, QByteArray> FolderSnapshot::take(const QString &root, bool withModes)
{
    QMap<QString, QByteArray> snapshot;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = base.relativeFilePath(info.filePath());
        if (info.isDir() && !info.isSymLink()) {
            snapshot.insert(relative, QByteArrayLiteral("<dir>"));
            continue;
        }
        QFile file(info.filePath());
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (file.open(QIODevice::ReadOnly))
            hash.addData(&file);
        QByteArray value = hash.result().toHex();
        if (withModes)
            value += ' ' + QByteArray::number(int(info.permissions()), 16);
        snapshot.insert(relative, value);
    }
    return snapshot;
}

QString FolderSnapshot::describeDifference(
    const QMap<QString, QByteArray> &expected, const QMap<QString, QByteArray> &actual)
{
    QStringList lines;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            lines << QStringLiteral("missing: ") + it.key();
        else if (actual.value(it.key()) != it.value())
            lines << QStringLiteral("changed: ") + it.key();
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("unexpected: ") + it.key();
    }
    return lines.join(QLatin1Char('\n'));
}
