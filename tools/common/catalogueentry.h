#pragma once

#include <QList>
#include <QString>

/// One published update in a catalogue: the component it updates, the new version and its
/// package file, and the texts the updater shows about it.
struct CatalogueEntry
{
    QString project;
    QString name;
    QString type;
    QString version;
    /// The package's file name in the catalogue folder (one path segment).
    QString package;
    QString description;
    QString copyrights;
    QString author;
    QString webpage;
    QString email;
    QString changelog;
    bool critical = false;
    /// Seconds since 1970 (UTC) when the update was published.
    quint32 timestamp = 0;
    /// A delta package of this version: the installed version it applies to and its file.
    struct Delta
    {
        QString base;
        QString package;
    };
    /// The deltas kept for this version, one per base version.
    QList<Delta> deltas;

    /// The file beside the package that holds its minisign signature, "<package>.minisig".
    QString signatureFileName() const;
    /// True when this entry updates the component named by project, name and type.
    bool isComponent(
        const QString &otherProject, const QString &otherName, const QString &otherType) const;
    /// True when name can be a package file of a catalogue: one path segment, no hidden file,
    /// no separator or traversal, and a ".zip" ending.
    static bool isValidPackageName(const QString &name);
};
