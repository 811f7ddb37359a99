#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

/*
 * The last version of each component the updater installed, per destination root, kept as
 * the file "versions" in the state folder (format in the README). A signed package older than
 * the recorded version is a replay of an old release and is refused. Records are only ever
 * taken from a completed run's journal, so a run that was rolled back records nothing. A file
 * that cannot be read counts as no record and is set aside, never overwritten, by the next
 * write.
 */
class VersionRecords
{
public:
    struct Record
    {
        QString root;
        QByteArray project;
        QByteArray name;
        QByteArray type;
        QByteArray version;
    };

    /// The records kept in folder (the state folder unless a test chooses another).
    explicit VersionRecords(const QString &folder);

    /// The version recorded for the component below root (the newest, where records written
    /// under other names of the same folder differ); empty when none is or the file cannot be
    /// read.
    QByteArray recorded(const QString &root, const QByteArray &project, const QByteArray &name,
        const QByteArray &type) const;
    /// Merges records into the file (a record replaces the one of the same component and
    /// root) and makes it durable; an unreadable file is first renamed to "versions.unreadable-N"
    /// and replaced by one with records alone. False, with errorText(), when it could not be
    /// written or set aside.
    bool record(const QVector<Record> &records);

    /// One form of a root folder for every comparison: the real path, links resolved, where
    /// the folder exists; else absolute and cleaned. No trailing "/".
    static QString rootKey(const QString &root);
    /// The record lines of records, as the journal and the file hold them.
    static QByteArray toText(const QVector<Record> &records);
    /// The records among lines of text; other lines are skipped.
    static QVector<Record> fromText(const QByteArray &text);

    QString filePath() const;
    QString errorText() const { return m_errorText; }

private:
    enum class FileState { Missing, Read, Unreadable };

    /// The records of the file; none unless it was Read.
    FileState read(QVector<Record> *records) const;
    /// Renames the unreadable file to the first free "versions.unreadable-N".
    bool setAside();

    QString m_folder;
    QString m_errorText;
};
