#include "packagesignature.h"

#include "builtinsigningkeys.h"

#include <QCoreApplication>

#include <sodium.h>

#include <algorithm>

namespace {

constexpr int keyIdSize = 8;
constexpr int signatureSize = crypto_sign_BYTES;
constexpr int publicKeySize = crypto_sign_PUBLICKEYBYTES;

const char untrustedPrefix[] = "untrusted comment:";
const char trustedPrefix[] = "trusted comment: ";

QByteArray fromBase64(const QByteArray &text, int size)
{
    const QByteArray::FromBase64Result decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == size ? decoded.decoded : QByteArray();
}

bool initialised()
{
    // Picks libsodium's fastest implementations; verification itself needs no randomness.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool verifyDetached(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char *>(signature.constData()),
               reinterpret_cast<const unsigned char *>(message.constData()),
               static_cast<unsigned long long>(message.size()),
               reinterpret_cast<const unsigned char *>(key.constData()))
        == 0;
}

} // namespace

PackageSignature::PackageSignature(const QByteArray &text)
{
    QList<QByteArray> lines;
    for (QByteArray line : text.split('\n')) {
        line = line.replace('\r', QByteArray()).trimmed();
        if (!line.isEmpty())
            lines.append(line);
    }
    m_empty = lines.isEmpty();
    if (lines.size() != 4 || !lines.at(0).startsWith(untrustedPrefix)
        || !lines.at(2).startsWith(trustedPrefix))
        return;
    const QByteArray signatureLine = fromBase64(lines.at(1), 2 + keyIdSize + signatureSize);
    m_globalSignature = fromBase64(lines.at(3), signatureSize);
    if (signatureLine.isEmpty() || m_globalSignature.isEmpty())
        return;
    m_algorithm = signatureLine.left(2);
    m_keyId = signatureLine.mid(2, keyIdSize);
    m_signature = signatureLine.mid(2 + keyIdSize);
    m_trustedComment = lines.at(2).mid(int(sizeof trustedPrefix) - 1);
    m_wellFormed = true;
}

PackageSignature::Result PackageSignature::checkSigner(
    const QList<PublicKey> &keys, PublicKey *signer, QString *reason) const
{
    if (m_empty) {
        *reason = QCoreApplication::translate("translation", "The package is not signed.", "nc");
        return Result::Unsigned;
    }
    if (m_wellFormed && m_algorithm == "Ed") {
        *reason = QCoreApplication::translate("translation",
            "The package has a signature in the legacy format, which is not accepted.", "nc");
        return Result::Legacy;
    }
    if (!m_wellFormed || m_algorithm != "ED" || !initialised()) {
        *reason = QCoreApplication::translate(
            "translation", "The package's signature cannot be read.", "nc");
        return Result::Malformed;
    }
    const auto key = std::find_if(keys.cbegin(), keys.cend(),
        [this](const PublicKey &candidate) { return candidate.id == m_keyId; });
    if (key == keys.cend()) {
        *reason = QCoreApplication::translate(
            "translation", "The package is signed by an unknown key (%1).", "nc")
                      .arg(keyIdText(m_keyId));
        return Result::UnknownKey;
    }
    if (!verifyDetached(m_globalSignature, m_signature + m_trustedComment, key->key)) {
        *reason = QCoreApplication::translate(
            "translation", "The package's signature has been tampered with.", "nc");
        return Result::ForgedComment;
    }
    *signer = *key;
    return Result::Verified;
}

PackageSignature::Result PackageSignature::verifyStatement(
    const QByteArray &messageHash, const QList<PublicKey> &keys) const
{
    QString reason;
    PublicKey signer;
    const Result result = checkSigner(keys, &signer, &reason);
    if (result != Result::Verified)
        return result;
    return verifyDetached(m_signature, messageHash, signer.key) ? Result::Verified
                                                                : Result::Altered;
}

PackageSignature::Result PackageSignature::verify(const QByteArray &fileHash,
    const QList<PublicKey> &keys, const TrustedComment &expected, QString *errorText) const
{
    QString ignored;
    QString *reason = errorText ? errorText : &ignored;
    PublicKey signer;
    const Result result = checkSigner(keys, &signer, reason);
    if (result != Result::Verified)
        return result;

    TrustedComment signedFor;
    if (!TrustedComment::fromText(m_trustedComment, &signedFor)
        || (signedFor == expected && m_trustedComment != expected.toText())) {
        *reason = QCoreApplication::translate(
            "translation", "The package's signature is not for an Orvi package.", "nc");
        return Result::NotAPackage;
    }
    if (signedFor.project != expected.project || signedFor.name != expected.name
        || signedFor.type != expected.type) {
        *reason = QCoreApplication::translate(
            "translation", "The package's signature is for another component (%1).", "nc")
                      .arg(QString::fromUtf8(
                          signedFor.project + ' ' + signedFor.name + ' ' + signedFor.type));
        return Result::OtherComponent;
    }
    if (signedFor.version != expected.version) {
        *reason
            = QCoreApplication::translate(
                "translation", "The package's signature is for version %1, not %2.", "nc")
                  .arg(QString::fromUtf8(signedFor.version), QString::fromUtf8(expected.version));
        return Result::OtherVersion;
    }
    // A delta must not pass for the whole package, nor for a delta from another version.
    if (signedFor.base != expected.base) {
        *reason = QCoreApplication::translate("translation",
            "The package's signature is for changes from another version (%1).", "nc")
                      .arg(QString::fromUtf8(signedFor.base));
        return Result::OtherBase;
    }
    if (signedFor.file != expected.file) {
        *reason = QCoreApplication::translate(
            "translation", "The package's signature is for another file (%1).", "nc")
                      .arg(QString::fromUtf8(signedFor.file));
        return Result::OtherFile;
    }

    if (!verifyDetached(m_signature, fileHash, signer.key)) {
        *reason = QCoreApplication::translate(
            "translation", "The package has been altered since it was signed.", "nc");
        return Result::Altered;
    }
    reason->clear();
    return Result::Verified;
}

bool PackageSignature::parsePublicKey(const QByteArray &base64, PublicKey *key)
{
    const QByteArray bytes = fromBase64(base64.trimmed(), 2 + keyIdSize + publicKeySize);
    if (!bytes.startsWith("Ed"))
        return false;
    key->id = bytes.mid(2, keyIdSize);
    key->key = bytes.mid(2 + keyIdSize);
    return true;
}

QList<PackageSignature::PublicKey> PackageSignature::builtInKeys()
{
    QList<PublicKey> keys;
    for (const QByteArray &line : QByteArray(BuiltInSigningKeys::publicKeys).split('\n')) {
        PublicKey key;
        if (parsePublicKey(line, &key))
            keys.append(key);
    }
    return keys;
}

bool PackageSignature::unsignedPackagesAllowed()
{
    return BuiltInSigningKeys::unsignedPackagesAllowed;
}

QString PackageSignature::keyIdText(const QByteArray &id)
{
    // minisign prints the id as a little-endian number.
    QByteArray reversed = id;
    std::reverse(reversed.begin(), reversed.end());
    return QString::fromLatin1(reversed.toHex().toUpper());
}
