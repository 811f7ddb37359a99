#include "packagehash.h"

#include <QFile>

#include <sodium.h>

#include <vector>

namespace {
constexpr size_t hashSize = crypto_generichash_BYTES_MAX;
} // namespace

struct PackageHash::State
{
    crypto_generichash_state blake2b;
};

PackageHash::PackageHash() : m_state(std::make_unique<State>())
{
    // Picks libsodium's fastest BLAKE2b for this processor; once is enough.
    static const bool initialised = sodium_init() >= 0;
    Q_UNUSED(initialised)
    reset();
}

PackageHash::~PackageHash() = default;

void PackageHash::reset()
{
    crypto_generichash_init(&m_state->blake2b, nullptr, 0, hashSize);
}

void PackageHash::add(const char *data, qint64 size)
{
    if (size > 0)
        crypto_generichash_update(&m_state->blake2b, reinterpret_cast<const unsigned char *>(data),
            static_cast<unsigned long long>(size));
}

QByteArray PackageHash::result() const
{
    // Finishing consumes the state; a copy leaves this one open for more bytes.
    crypto_generichash_state finished = m_state->blake2b;
    QByteArray hash(int(hashSize), Qt::Uninitialized);
    crypto_generichash_final(&finished, reinterpret_cast<unsigned char *>(hash.data()), hashSize);
    return hash;
}

bool PackageHash::ofFile(const QString &path, QByteArray *hash, QString *errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *errorText = file.errorString();
        return false;
    }
    PackageHash state;
    std::vector<char> buffer(static_cast<size_t>(readSize));
    for (;;) {
        const qint64 length = file.read(buffer.data(), readSize);
        if (length < 0) {
            *errorText = file.errorString();
            return false;
        }
        if (length == 0)
            break;
        state.add(buffer.data(), length);
    }
    *hash = state.result();
    return true;
}
