#pragma once

#include <QByteArray>
#include <QString>

#include <zip.h>

/*
 * Writes a zip archive through minizip, reproducibly: every entry carries the same fixed
 * time (1980-01-01 00:00), no extra fields and no comment, and data is deflated at the best
 * level, so the same entries added in the same order with the same modes give the same bytes.
 * Entry names are written byte for byte, whatever they hold.
 */
class ZipWriter
{
public:
    /// Whether an entry's name is flagged as UTF-8 (bit 11) or left to the reader's code page.
    enum class NameFlag { None, Utf8 };

    ZipWriter() = default;
    ~ZipWriter();
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    /// Creates (or truncates) the archive at path; false with errorText on failure.
    bool open(const QString &path, QString *errorText);
    /// The mode of an entry that records none (made on MS-DOS, as far as readers can tell).
    static constexpr int noMode = -1;
    /// The permission bits of file, which the installer gives the file it places; noMode on
    /// Windows or when they cannot be read.
    static int modeOf(const QString &file);
    /// The folder part of an entry name ("" for a top-level one) and its last part.
    static QString folderOf(const QString &name);
    static QString fileNameOf(const QString &name);

    /// Adds an entry called name holding contents; an entry with a unixMode is recorded as
    /// made on Unix with that mode.
    bool addData(const QByteArray &name, const QByteArray &contents, QString *errorText,
        NameFlag flag = NameFlag::None, int unixMode = noMode);
    /// Adds an entry called name whose data is read from sourceFile piece by piece.
    bool addFile(const QByteArray &name, const QString &sourceFile, QString *errorText,
        int unixMode = noMode);
    /// Adds a directory entry called name, which should end in "/".
    bool addDirectory(const QByteArray &name, QString *errorText);
    /// Writes the central directory and closes the archive; false when that fails.
    bool close(QString *errorText);
    /// Closes the archive and, when written says all went in, moves it over outputPath; else,
    /// or when either fails (errorText then says why, unless it already does), removes it.
    bool closeInto(const QString &outputPath, bool written, QString *errorText);

private:
    enum class Kind { Data, Directory };

    bool openEntry(const QByteArray &name, qint64 size, Kind kind, NameFlag flag, int unixMode,
        QString *errorText);
    bool closeEntry(const QByteArray &name, QString *errorText);

    zipFile m_zip = nullptr;
    QString m_path;
};
