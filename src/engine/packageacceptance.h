#pragma once

#include "inventoryversions.h"
#include "packagesignature.h"

#include <QByteArray>
#include <QList>
#include <QString>

class UpdateEntry;

/*
 * Decides whether a downloaded package may be unpacked: a signed package must be signed with
 * one of the keys for exactly the offered component, version and file, and must not be older
 * than the version last installed nor than the one the main application reports; an unsigned one
 * passes only where unsigned packages are allowed.
 */
class PackageAcceptance
{
public:
    /// Checks against keys; appRoot is the main application's folder, where the versions of
    /// its components are recorded.
    PackageAcceptance(
        QList<PackageSignature::PublicKey> keys, bool unsignedAllowed, QString appRoot);

    /// Takes versions, from the main application's inventory, as installed too.
    void setReportedVersions(InventoryVersions versions);

    /// Why the downloaded file of entry, whose PackageHash is fileHash, must not be unpacked,
    /// for the user; empty when it may be.
    QString refusal(const UpdateEntry &entry, const QByteArray &fileHash) const;
    /// The same for the delta offered with entry: its signature must name the delta's base
    /// and file.
    QString deltaRefusal(const UpdateEntry &entry, const QByteArray &fileHash) const;
    /// True when the main application reports the delta's base as the installed version of
    /// entry's component, so that the delta may apply.
    bool hasDeltaBase(const UpdateEntry &entry) const;

private:
    QString refusal(const UpdateEntry &entry, const std::string &signatureText,
        const std::string &linkText, const std::string &base, const QByteArray &fileHash) const;

    QList<PackageSignature::PublicKey> m_keys;
    bool m_unsignedAllowed;
    QString m_appRoot;
    InventoryVersions m_reportedVersions;
};
