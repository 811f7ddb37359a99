#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

class UpdateEntry;

/*
 * Turns a downloaded delta package into the package folder its whole package would have
 * given: the new files unpacked, each patched file made from the installed one (FilePatch)
 * and checked against the hash the descriptor names, and the descriptor under the whole
 * package's name. The installation that follows cannot tell the two apart. Only the download
 * folder is written; the installed files are only read.
 */
class DeltaPackage
{
public:
    /// What the installation needs of a prepared package folder, as PackageFolder::fill gives it.
    struct Prepared
    {
        /// One line per file, as the whole package's extraction lists them.
        QStringList details;
        /// The Unix modes of the files, by clean absolute path (-1 where none is recorded).
        QHash<QString, int> entryModes;
    };

    /// Why apply() failed: the whole package is then fetched instead.
    enum class Failure {
        None,
        /// The delta cannot be unpacked, its descriptor is damaged or there is no room.
        Unusable,
        /// An installed file is not the one the patch was made against.
        BaseChanged,
        /// A patch does not decode, or decodes into something other than the new file.
        BadPatch,
    };

    /// The delta of entry for a main application in appRoot, unpacked in downloadFolder.
    DeltaPackage(const UpdateEntry &entry, const QString &appRoot, const QString &downloadFolder);

    /// Prepares the package folder from the delta archive at archivePath, which is
    /// removed afterwards. False with failure() and errorText() when the delta cannot be used.
    bool apply(const QString &archivePath, Prepared *prepared);

    Failure failure() const { return m_failure; }
    QString errorText() const { return m_errorText; }

private:
    bool fail(Failure failure, const QString &errorText);

    const UpdateEntry &m_entry;
    QString m_rootFolder;
    QString m_downloadFolder;
    Failure m_failure = Failure::None;
    QString m_errorText;
};
