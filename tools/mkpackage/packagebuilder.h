#pragma once

#include "foldercomparison.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/*
 * Builds the update package that turns an installed folder (the old version) into the new
 * version: a zip archive holding every added and changed file under its path relative to the
 * folder, and the package descriptor "<package file name less .zip>.xml" at the archive root:
 *
 *   <package project="orvi" name="core" type="app">
 *     <file name="old.dll" path="" action="remove"/>      (removals first)
 *     <file name="x.dll" path="a/b" action="add"/>        (payload entry "a/b/x.dll")
 *   </package>
 *
 * Entry names are 8-bit with one byte per character, as the installer reads them, so every
 * path must be Latin-1. Each entry records its file's Unix mode (none on Windows), so that
 * executables stay executable. The same folders, names and modes always give the same archive
 * bytes.
 */
class PackageBuilder
{
public:
    PackageBuilder(QString project, QString name, QString type);

    /// Compares the folders and writes the package to outputPath (whose file name must end in
    /// ".zip"); the file is replaced only once the new one is complete. False with errorText
    /// when a folder cannot be read, a file cannot be packaged or the archive cannot be written.
    bool build(const QString &oldRoot, const QString &newRoot, const QString &outputPath,
        QString *errorText);

    /// What build() found; valid after it succeeded.
    const FolderComparison &comparison() const { return m_comparison; }
    /// Remarks about what the package cannot express (empty folders made or left behind).
    const QStringList &warnings() const { return m_warnings; }

    /// The descriptor's entry name for a package file name: "core-2.0.zip" gives
    /// "core-2.0.xml", the name the installer derives from the download link.
    static QString descriptorEntryName(const QString &packageFileName);
    /// The descriptor for comparison.
    QByteArray descriptor(const FolderComparison &comparison) const;

private:
    bool checkPaths(const QString &descriptorEntry, QString *errorText) const;

    const QString m_project;
    const QString m_name;
    const QString m_type;
    FolderComparison m_comparison;
    QStringList m_warnings;
};
