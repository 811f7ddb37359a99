#include "packageacceptance.h"

#include "packageinstaller.h"
#include "platform.h"
#include "trustedcomment.h"
#include "updateentry.h"
#include "versionnumber.h"
#include "versionrecords.h"

#include <QCoreApplication>
#include <QUrl>

namespace {
QByteArray bytes(const std::string &text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}
} // namespace

PackageAcceptance::PackageAcceptance(
    QList<PackageSignature::PublicKey> keys, bool unsignedAllowed, QString appRoot)
    : m_keys(std::move(keys)), m_unsignedAllowed(unsignedAllowed), m_appRoot(std::move(appRoot))
{
}

void PackageAcceptance::setReportedVersions(InventoryVersions versions)
{
    m_reportedVersions = std::move(versions);
}

QString PackageAcceptance::refusal(const UpdateEntry &entry, const QByteArray &fileHash) const
{
    return refusal(entry, entry.signature(), entry.link(), std::string(), fileHash);
}

QString PackageAcceptance::deltaRefusal(const UpdateEntry &entry, const QByteArray &fileHash) const
{
    return refusal(
        entry, entry.delta().signature, entry.delta().link, entry.delta().base, fileHash);
}

bool PackageAcceptance::hasDeltaBase(const UpdateEntry &entry) const
{
    const QByteArray installed = m_reportedVersions.versionOf(
        bytes(entry.project()), bytes(entry.name()), bytes(entry.type()));
    return !entry.delta().base.empty() && !installed.isEmpty()
        && VersionNumber::compare(
               QString::fromUtf8(installed), QString::fromUtf8(bytes(entry.delta().base)))
        == 0;
}

QString PackageAcceptance::refusal(const UpdateEntry &entry, const std::string &signatureText,
    const std::string &linkText, const std::string &base, const QByteArray &fileHash) const
{
    const PackageSignature signature(bytes(signatureText));
    if (signature.isEmpty() && m_unsignedAllowed)
        return QString();
    const QUrl link(QString::fromLatin1(linkText.data(), qsizetype(linkText.size())));
    const TrustedComment offer { bytes(entry.project()), bytes(entry.name()), bytes(entry.type()),
        bytes(entry.version()), link.fileName().toUtf8(), bytes(base) };
    QString reason;
    if (signature.verify(fileHash, m_keys, offer, &reason) == PackageSignature::Result::Verified) {
        // A valid signature of an old release must not take the component back to it: neither
        // below the version last installed here nor below what the main application reports.
        const QByteArray installed = VersionNumber::newer(
            VersionRecords(Platform::stateFolder())
                .recorded(PackageInstaller::destinationOf(entry.type(), m_appRoot), offer.project,
                    offer.name, offer.type),
            m_reportedVersions.versionOf(offer.project, offer.name, offer.type));
        if (installed.isEmpty()
            || VersionNumber::compare(
                   QString::fromUtf8(offer.version), QString::fromUtf8(installed))
                >= 0)
            return QString();
        reason = QCoreApplication::translate("translation",
            "Its version %1 is older than version %2, which is already installed.", "nc")
                     .arg(QString::fromUtf8(offer.version), QString::fromUtf8(installed));
    }
    return QCoreApplication::translate(
        "translation", "The package %1 was refused and nothing was installed. %2", "nc")
        .arg(QString::fromLatin1(entry.name().data(), qsizetype(entry.name().size())), reason);
}
