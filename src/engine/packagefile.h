#pragma once

#include "packagehash.h"

#include <QFile>

/*
 * The file a package is downloaded into. Every byte written to it also goes into the
 * package's hash, so the signature is checked the moment the download ends, without reading
 * a large file a second time.
 */
class PackageFile : public QFile
{
public:
    /// Empties the file to receive the package from its first byte again.
    bool restart();
    /// The BLAKE2b-512 of what was written since the file was opened or restarted.
    QByteArray hash() const { return m_hash.result(); }

    using QFile::open;
    bool open(OpenMode mode) override;

protected:
    qint64 writeData(const char *data, qint64 size) override;

private:
    PackageHash m_hash;
};
