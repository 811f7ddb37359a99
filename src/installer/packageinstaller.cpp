#include "packageinstaller.h"

#include "filesystem.h"
#include "mainapppaths.h"
#include "packagedescriptor.h"
#include "packagefolder.h"
#include "packageplan.h"
#include "platform.h"
#include "updateentry.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QUrl>

namespace {
QString fromLatin1(const std::string &text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// A package name becomes a folder of the download folder; anything else could reach out of it,
// and the folder of the updater's own files there (Qt's plug-ins on Windows) is not a package's.
bool isPlainName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return false;
    for (const QString &file : Platform::relocationFiles()) {
        const qsizetype slash = file.indexOf(QLatin1Char('/'));
        if (slash > 0 && file.left(slash).compare(name, Qt::CaseInsensitive) == 0)
            return false;
    }
    return true;
}

bool failed(PackageInstaller::Failure *failure, const QString &message)
{
    failure->message = message;
    return false;
}
} // namespace

PackageInstaller::PackageInstaller(
    const UpdateEntry *entry, const QString &appRoot, RunState *runState)
    : m_entry(entry)
    , m_runState(runState)
    , m_rootFolder(destinationOf(entry->type(), appRoot))
    , m_packageName(fromLatin1(entry->name()))
    , m_rootPermissions()
{
    if (entry->type() == "app"
        && (m_rootFolder.isEmpty()
            || !QFileInfo::exists(MainAppPaths::mainAppPath(m_rootFolder)))) {
        m_lacksMainApplication = true;
        // The application ends after the run; until then nothing may go to this folder.
        m_rootFolder.clear();
        return;
    }
#ifdef Q_OS_WIN
    // Windows keeps no modes; its files take what it keeps of flags from the root.
    if (!m_rootFolder.isEmpty())
        m_rootPermissions = QFileInfo(m_rootFolder).permissions();
#endif
}

PackageInstaller::~PackageInstaller() = default;

QString PackageInstaller::destinationOf(const std::string &type, const QString &appRoot)
{
    if (type == "app")
        return appRoot;
    if (type == "plugin") {
        const QString appData = Platform::appDataFolder();
        if (!appData.isEmpty())
            return appData + QLatin1String("/Orvi/plugins/");
    }
    return QString();
}

QString PackageInstaller::descriptorStem(const std::string &link)
{
    const QString linkPath = QUrl(fromLatin1(link)).path();
    return linkPath.size() > 4 ? linkPath.chopped(4) : QString();
}

bool PackageInstaller::install(
    const QString &downloadFolder, QStringList *detailsList, Failure *failure)
{
    // Refused before anything is written: an empty root would place files relative to the
    // root of the file system.
    if (m_rootFolder.isEmpty())
        return failed(failure,
            QCoreApplication::translate(
                "translation", "Cannot find the destination folder of this package!", "nc"));
    if (!isPlainName(m_packageName))
        return failed(failure,
            QCoreApplication::translate("translation", "Invalid package name %1!", "nc")
                .arg(m_packageName));

    PackageFolder folder(downloadFolder, m_packageName,
        downloadFolder + QLatin1Char('/') + QUrl(fromLatin1(m_entry->link())).path());
    if (m_prepared) {
        // The delta's files are in the folder already, as the archive would have put them.
        m_runState->cleanedPackageFolders.insert(PackagePlan::cleanAbsolutePath(folder.path()));
        *detailsList += m_prepared->details;
        return planAndApply(folder.path(), folder.unwindFolder(), m_prepared->entryModes, failure);
    }
    if (!folder.fill(m_rootFolder, &m_runState->cleanedPackageFolders, detailsList)) {
        failure->errorText = folder.errorText();
        return failed(failure, folder.message());
    }
    return planAndApply(folder.path(), folder.unwindFolder(), folder.entryModes(), failure);
}

bool PackageInstaller::planAndApply(const QString &packageFolder, const QString &unwindFolder,
    const QHash<QString, int> &entryModes, Failure *failure)
{
    const QString descriptorPath
        = QStringLiteral("%1/%2.xml").arg(packageFolder, descriptorStem(m_entry->link()));
    QFile file;
    const FileSystem::Handle handle
        = PackagePlan::isBelow(PackagePlan::cleanAbsolutePath(descriptorPath),
              PackagePlan::cleanAbsolutePath(packageFolder))
        ? FileSystem::read(descriptorPath)
        : -1;
    if (handle < 0 || !file.open(handle, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return failed(failure,
            QCoreApplication::translate(
                "translation", "Package description file is missing!", "nc"));
    const PackageDescriptor descriptor = PackageDescriptor::read(&file);
    if (!descriptor.isValid())
        return failed(failure,
            QCoreApplication::translate(
                "translation", "Package description file is damaged (line %1)!", "nc")
                .arg(descriptor.errorLine()));
    for (const QXmlStreamAttributes &package : descriptor.packages()) {
        if (const QString mismatch = checkPackage(package); !mismatch.isEmpty())
            return failed(failure, mismatch);
    }

    PackagePlan::Input input;
    input.rootFolder = m_rootFolder;
    input.packageFolder = packageFolder;
    input.unwindFolder = unwindFolder;
    input.updatePrefix = QStringLiteral("%1_%2_%3")
                             .arg(fromLatin1(m_entry->project()), fromLatin1(m_entry->name()),
                                 fromLatin1(m_entry->type()));
    input.takenBackups = m_runState->takenBackups;
    input.entryModes = entryModes;
    const PackagePlan plan = PackagePlan::make(descriptor.files(), input);
    if (!plan.isValid())
        return failed(failure, plan.errorText());
    for (const PlanStep &step : plan.steps()) {
        if (!step.backup.isEmpty())
            m_runState->takenBackups.insert(step.backup);
    }

    auto executor = std::make_unique<PlanExecutor>(plan.steps(), packageFolder, m_rootPermissions);
    if (!executor->prepare())
        return failed(failure, executor->errorText());
    if (m_journal && !m_journal->addPackage(m_packageName, plan.steps()))
        return failed(failure,
            QCoreApplication::translate(
                "translation", "Cannot write the installation journal (%1)!", "nc")
                .arg(m_journal->errorText()));
    // From here on the journal names the steps: the rollback undoes whatever of them ran.
    m_executor = std::move(executor);
    if (!m_executor->perform())
        return failed(failure, m_executor->errorText());
    return true;
}

QString PackageInstaller::checkPackage(const QXmlStreamAttributes &attributes) const
{
    for (const QXmlStreamAttribute &attribute : attributes) {
        if (attribute.name() == QLatin1String("project")
            && attribute.value() != fromLatin1(m_entry->project()))
            return QCoreApplication::translate("translation", "Wrong project!", "nc");
        if (attribute.name() == QLatin1String("name")
            && attribute.value() != fromLatin1(m_entry->name()))
            return QCoreApplication::translate("translation", "Wrong name!", "nc");
        if (attribute.name() == QLatin1String("type")
            && attribute.value() != fromLatin1(m_entry->type()))
            return QCoreApplication::translate("translation", "Wrong type!", "nc");
    }
    return QString();
}

bool PackageInstaller::rollback()
{
    m_unrestored = m_executor ? m_executor->undo() : QStringList();
    return m_unrestored.isEmpty();
}
