#pragma once

#include "catalogueentry.h"

#include <QList>
#include <QString>

class QIODevice;

/*
 * A catalogue folder: the package files and one index, "index.xml", that lists the
 * published updates, at most one per component (project, name, type):
 *
 *   <catalogue>
 *     <component project="orvi" name="core" type="app">
 *       <version>2.0</version>
 *       <package>core-2.0.zip</package>
 *       <description>...</description> <copyrights/> <author/> <webpage/> <email/>
 *       <changelog>...</changelog>
 *       <critical>false</critical>
 *       <timestamp>1700000000</timestamp>
 *       <delta base="1.0">core-2.0-from-1.0.zip</delta>      (any number, one per base)
 *     </component>
 *   </catalogue>
 *
 * Only version and package are required; the other child elements default to empty, false
 * and 0. Unknown elements are ignored.
 */
class Catalogue
{
public:
    /// The index's file name inside the catalogue folder.
    static QString indexFileName();

    /// Reads folder's index. A missing index gives an empty catalogue when missingIsEmpty is
    /// set, otherwise an error; a malformed index is always an error (text in errorText).
    bool load(const QString &folder, bool missingIsEmpty, QString *errorText);
    /// Reads an index from device, an open file named fileName in error texts; false with
    /// errorText and no entries when it is malformed.
    bool read(QIODevice *device, const QString &fileName, QString *errorText);
    /// Writes the index into folder, replacing the old one only once the new one is complete.
    bool save(const QString &folder, QString *errorText) const;

    const QList<CatalogueEntry> &entries() const { return m_entries; }
    /// The entry for the component, or nullptr when the catalogue does not know it.
    const CatalogueEntry *find(
        const QString &project, const QString &name, const QString &type) const;
    /// Adds entry, replacing the entry of the same component in its place if there is one.
    void insert(const CatalogueEntry &entry);
    /// Like insert(), but an entry of the same component and version keeps its deltas from
    /// other bases than entry's: the deltas of one version are published one base at a time.
    /// A new version drops every delta of the old one.
    void publish(const CatalogueEntry &entry);

private:
    QList<CatalogueEntry> m_entries;
};
