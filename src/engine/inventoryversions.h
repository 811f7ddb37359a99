#pragma once

#include <QByteArray>
#include <QVector>

/*
 * The versions the main application reports for its components, read from the inventory it
 * prints: one element per component, <component project="P" name="N" type="T" version="V"/>.
 * A version found there is installed already, so no package may take the component below it.
 */
class InventoryVersions
{
public:
    /// No versions: nothing is known of what is installed.
    InventoryVersions() = default;

    /// The component versions in inventory. Elements of other names, and components without
    /// a version, are skipped; an inventory that is not well-formed reports no version at all.
    static InventoryVersions read(const QByteArray &inventory);

    /// The version reported for the component (the newest where it is reported more than
    /// once); empty when none is.
    QByteArray versionOf(
        const QByteArray &project, const QByteArray &name, const QByteArray &type) const;

private:
    struct Component
    {
        QByteArray project;
        QByteArray name;
        QByteArray type;
        QByteArray version;
    };

    QVector<Component> m_components;
};
