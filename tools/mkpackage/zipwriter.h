#pragma once

#include <QByteArray>
#include <QString>

#include <zip.h>

/*
 * Writes a zip archive through minizip, reproducibly: every entry carries the same fixed
 * time (1980-01-01 00:00), no extra fields and no comment, and is deflated at the best
 * level, so the same entries added in the same order give the same bytes.
 */
class ZipWriter
{
public:
    ZipWriter() = default;
    ~ZipWriter();
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    /// Creates (or truncates) the archive at path; false with errorText on failure.
    bool open(const QString &path, QString *errorText);
    /// Adds an entry called name (8-bit, one byte per character) holding contents.
    bool addData(const QByteArray &name, const QByteArray &contents, QString *errorText);
    /// Adds an entry called name whose data is read from sourceFile piece by piece.
    bool addFile(const QByteArray &name, const QString &sourceFile, QString *errorText);
    /// Writes the central directory and closes the archive; false when that fails.
    bool close(QString *errorText);

private:
    bool openEntry(const QByteArray &name, qint64 size, QString *errorText);
    bool closeEntry(const QByteArray &name, QString *errorText);

    zipFile m_zip = nullptr;
    QString m_path;
};
