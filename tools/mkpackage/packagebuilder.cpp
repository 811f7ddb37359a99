#include "packagebuilder.h"

#include "portablepath.h"
#include "zipwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QXmlStreamWriter>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

bool isLatin1(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return false;
    }
    return true;
}

QStringList sortedUnion(const QStringList &a, const QStringList &b)
{
    QStringList all = a + b;
    std::sort(all.begin(), all.end());
    return all;
}

} // namespace

PackageBuilder::PackageBuilder(QString project, QString name, QString type)
    : m_project(std::move(project)), m_name(std::move(name)), m_type(std::move(type))
{
}

QString PackageBuilder::descriptorEntryName(const QString &packageFileName)
{
    return packageFileName.chopped(4) + QLatin1String(".xml");
}

QByteArray PackageBuilder::descriptor(const FolderComparison &comparison) const
{
    QByteArray text;
    QXmlStreamWriter writer(&text);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("package"));
    writer.writeAttribute(QStringLiteral("project"), m_project);
    writer.writeAttribute(QStringLiteral("name"), m_name);
    writer.writeAttribute(QStringLiteral("type"), m_type);
    // Removals come first, so that a file replaced by a folder of the same name is gone
    // before the folder's files arrive.
    const auto writeFile = [&writer](const QString &relative, const QString &action) {
        writer.writeEmptyElement(QStringLiteral("file"));
        writer.writeAttribute(QStringLiteral("name"), ZipWriter::fileNameOf(relative));
        writer.writeAttribute(QStringLiteral("path"), ZipWriter::folderOf(relative));
        writer.writeAttribute(QStringLiteral("action"), action);
    };
    for (const QString &relative : comparison.removedFiles())
        writeFile(relative, QStringLiteral("remove"));
    for (const QString &relative : sortedUnion(comparison.addedFiles(), comparison.changedFiles()))
        writeFile(relative, QStringLiteral("add"));
    writer.writeEndElement();
    writer.writeEndDocument();
    return text;
}

bool PackageBuilder::checkPaths(const QString &descriptorEntry, QString *errorText) const
{
    const QString skippedPrefix = QStringLiteral("%1_%2_%3").arg(m_project, m_name, m_type);
    const QStringList payload = sortedUnion(m_comparison.addedFiles(), m_comparison.changedFiles());
    QSet<QString> touched(payload.cbegin(), payload.cend());
    for (const QString &removed : m_comparison.removedFiles())
        touched.insert(removed);

    for (const QString &relative : sortedUnion(payload, m_comparison.removedFiles())) {
        *errorText = PortablePath::fault(relative);
        if (!errorText->isEmpty())
            return false;
        if (!isLatin1(relative)) {
            *errorText = tr("%1: a packaged path must be Latin-1 text").arg(relative);
            return false;
        }
    }
    // Files first, so that two files are named rather than the folders they lie in.
    const QStringList clash
        = PortablePath::caseClash(m_comparison.newFiles() + m_comparison.newFolders());
    if (!clash.isEmpty()) {
        *errorText = tr("%1 and %2 differ only in case: Windows cannot hold both")
                         .arg(clash.constFirst(), clash.constLast());
        return false;
    }
    for (const QString &relative : payload) {
        if (relative.toLatin1().size() > 255) {
            *errorText = tr("%1: a packaged path may be at most 255 bytes long").arg(relative);
            return false;
        }
        // The installer never copies a file whose name starts with this prefix.
        if (ZipWriter::fileNameOf(relative).startsWith(skippedPrefix)) {
            *errorText = tr("%1: the installer does not install files whose name starts with %2")
                             .arg(relative, skippedPrefix);
            return false;
        }
        if (relative == descriptorEntry) {
            *errorText = tr("%1 is the package descriptor's name; choose another package file "
                            "name")
                             .arg(relative);
            return false;
        }
        // The installer extracts into the package folder, whose "unwind" subfolder holds the
        // backups: payload "unwind/X" would be taken for the backup of X.
        if (relative.startsWith(QLatin1String("unwind/")) && touched.contains(relative.mid(7))) {
            *errorText = tr("%1 and %2 cannot be in one package: the installer would mistake one "
                            "for the backup of the other")
                             .arg(relative, relative.mid(7));
            return false;
        }
    }
    return true;
}

bool PackageBuilder::build(
    const QString &oldRoot, const QString &newRoot, const QString &outputPath, QString *errorText)
{
    m_warnings.clear();
    const QString packageFileName = QFileInfo(outputPath).fileName();
    if (!packageFileName.endsWith(QLatin1String(".zip")) || packageFileName.size() <= 4) {
        *errorText = tr("the package file name must end in .zip: %1").arg(packageFileName);
        return false;
    }
    if (!m_comparison.compare(oldRoot, newRoot, errorText))
        return false;
    const QString descriptorEntry = descriptorEntryName(packageFileName);
    if (!checkPaths(descriptorEntry, errorText))
        return false;
    for (const QString &folder : m_comparison.newEmptyFolders())
        m_warnings.append(tr("the empty folder %1 is not carried by the package").arg(folder));
    for (const QString &folder : m_comparison.removedFolders())
        m_warnings.append(tr("the folder %1 is emptied but stays in place").arg(folder));

    // Written beside the output and renamed at the end, so a failed run leaves no half archive.
    const QString partPath = outputPath + QLatin1String(".part");
    ZipWriter zip;
    bool written = zip.open(partPath, errorText)
        && zip.addData(descriptorEntry.toLatin1(), descriptor(m_comparison), errorText);
    const QDir newDir(newRoot);
    for (const QString &relative :
        sortedUnion(m_comparison.addedFiles(), m_comparison.changedFiles())) {
        if (!written)
            break;
        const QString source = newDir.filePath(relative);
        written = zip.addFile(relative.toLatin1(), source, errorText, ZipWriter::modeOf(source));
    }
    written = zip.closeInto(outputPath, written, errorText);
    return written;
}
