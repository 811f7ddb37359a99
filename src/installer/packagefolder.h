#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

/*
 * Readies the folder a package is unpacked into, in the download folder, for one installation:
 * the files of an earlier run cleaned away, the unwind folder made, the free space checked,
 * the archive's entries extracted.
 */
class PackageFolder
{
public:
    /// The folder of the package packageName whose archive is archivePath, in downloadFolder.
    PackageFolder(
        const QString &downloadFolder, const QString &packageName, const QString &archivePath);

    /// Where the archive's entries go.
    QString path() const { return m_path; }
    /// Where the package's backups go.
    QString unwindFolder() const { return m_unwindFolder; }

    /// Readies the folder and unpacks the archive into it, with room for rootFolder, the
    /// destination; detailsList receives one line per extracted file. The folder is cleaned
    /// only when cleaned (the folders cleaned so far in the run) does not hold it yet. False
    /// after a failure: message() says what the user is told, errorText() the system's reason
    /// when a file could not be written.
    bool fill(const QString &rootFolder, QSet<QString> *cleaned, QStringList *detailsList);

    /// The Unix modes the archive records for its files, by the clean absolute path each was
    /// extracted to; -1 for a file whose entry records none.
    QHash<QString, int> entryModes() const { return m_entryModes; }

    QString message() const { return m_message; }
    QString errorText() const { return m_errorText; }

private:
    bool hasRoomFor(const QString &rootFolder);
    bool extract(QStringList *detailsList);
    bool fail(const QString &message, const QString &errorText = QString());

    QString m_path;
    QString m_unwindFolder;
    QString m_archivePath;
    QString m_descriptorEntry;
    QString m_message;
    QString m_errorText;
    QHash<QString, int> m_entryModes;
};
