#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

/*
 * The BLAKE2b-512 of an update package, the hash its minisign signature is made over. It is
 * fed with the package's bytes as they are written during the download, so that checking the
 * signature needs no second pass over a large file; ofFile() hashes a file already stored.
 */
class PackageHash
{
public:
    PackageHash();
    ~PackageHash();
    PackageHash(const PackageHash &) = delete;
    PackageHash &operator=(const PackageHash &) = delete;

    /// Starts again, as for an empty file.
    void reset();
    void add(const char *data, qint64 size);
    /// The hash of the bytes added since the last reset; adding may go on afterwards.
    QByteArray result() const;

    /// The hash of the file at path, read in pieces; false with errorText when unreadable.
    static bool ofFile(const QString &path, QByteArray *hash, QString *errorText);

    /// Bytes of a file read at a time by ofFile().
    static constexpr qint64 readSize = 128 * 1024;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
