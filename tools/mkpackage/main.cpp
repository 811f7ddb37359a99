#include "catalogue.h"
#include "deltabuilder.h"
#include "packagebuilder.h"
#include "packagesigner.h"
#include "passwordprompt.h"
#include "serverkeycomment.h"
#include "trustedcomment.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

#include <cstdio>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("translation", text, "nc");
}

void print(FILE *stream, const QString &line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

int fail(const QString &message)
{
    print(stderr, QStringLiteral("mkpackage: ") + message);
    return 1;
}

// The password of a secret key: ORVI_SIGNING_PASSWORD for scripts, else asked on the terminal
// (twice for a new key).
bool signingPassword(bool newKey, QByteArray *password, QString *errorText)
{
    *password = qgetenv("ORVI_SIGNING_PASSWORD");
    if (!password->isEmpty())
        return true;
    if (!PasswordPrompt::read(tr("Password of the secret key: "), password, errorText))
        return false;
    if (!newKey)
        return true;
    QByteArray again;
    if (!PasswordPrompt::read(tr("The same password again: "), &again, errorText))
        return false;
    if (again != *password) {
        *errorText = tr("the passwords differ");
        return false;
    }
    if (password->isEmpty()) {
        *errorText = tr("empty password (--no-password makes a key without one)");
        return false;
    }
    return true;
}

int generateKey(const QString &folder, bool withPassword)
{
    QByteArray password;
    QString errorText;
    if (withPassword && !signingPassword(true, &password, &errorText))
        return fail(errorText);
    if (!QDir().mkpath(folder))
        return fail(tr("Cannot create %1").arg(folder));
    const QString publicKeyPath = QDir(folder).filePath(QStringLiteral("orvi.pub"));
    const QString secretKeyPath = QDir(folder).filePath(QStringLiteral("orvi.key"));
    const bool made
        = PackageSigner::generateKeyPair(publicKeyPath, secretKeyPath, password, &errorText);
    password.fill('\0');
    if (!made)
        return fail(errorText);
    QFile publicKey(publicKeyPath);
    publicKey.open(QIODevice::ReadOnly);
    const QByteArray base64 = publicKey.readAll().split('\n').value(1);
    print(stdout,
        tr("secret key %1 (%2), public key %3; build the updater with\n"
           "    -DORVI_UPDATE_PUBLIC_KEYS=%4")
            .arg(secretKeyPath, withPassword ? tr("with a password") : tr("without a password"),
                publicKeyPath, QString::fromLatin1(base64)));
    return 0;
}

// Reads the secret key at path and asks for its password where it has one.
bool loadSigner(const QString &path, PackageSigner *signer, QString *errorText)
{
    if (!signer->load(path, errorText))
        return false;
    if (!signer->needsPassword())
        return true;
    QByteArray password;
    const bool unlocked
        = signingPassword(false, &password, errorText) && signer->unlock(password, errorText);
    password.fill('\0');
    return unlocked;
}

// The statement by which the package key delegates answering update queries to the server key
// of publicKeyPath for days: a signature of the key's line in minisign's format.
int delegate(
    const QString &publicKeyPath, const QString &secretKeyPath, int days, const QString &outputPath)
{
    QFile publicKey(publicKeyPath);
    if (!publicKey.open(QIODevice::ReadOnly))
        return fail(tr("Cannot read %1: %2").arg(publicKeyPath, publicKey.errorString()));
    const QByteArray keyLine = publicKey.read(4096).split('\n').value(1).trimmed();
    const QByteArray::FromBase64Result key
        = QByteArray::fromBase64Encoding(keyLine, QByteArray::AbortOnBase64DecodingErrors);
    if (!key || key.decoded.size() != 42 || !key.decoded.startsWith("Ed"))
        return fail(tr("%1 is not a minisign public key").arg(publicKeyPath));
    PackageSigner signer;
    QString errorText;
    if (!loadSigner(secretKeyPath, &signer, &errorText))
        return fail(errorText);
    QByteArray id = key.decoded.mid(2, 8);
    std::reverse(id.begin(), id.end());
    ServerKeyComment comment;
    comment.keyId = QString::fromLatin1(id.toHex().toUpper());
    // Whole seconds, as the comment writes them.
    comment.expires = QDateTime::fromSecsSinceEpoch(
        QDateTime::currentSecsSinceEpoch() + qint64(days) * 24 * 60 * 60, Qt::UTC);
    const QByteArray text = signer.signatureText(keyLine + '\n', comment.toText());
    QSaveFile out(outputPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit())
        return fail(tr("Cannot write %1: %2").arg(outputPath, out.errorString()));
    print(stdout,
        tr("%1: key %2 delegated by key %3 until %4")
            .arg(outputPath, comment.keyId, signer.keyIdText(),
                QString::fromLatin1(comment.toText().split('=').constLast())));
    return 0;
}

bool isPlainName(const QString &text)
{
    return !text.isEmpty() && text != QLatin1String(".") && text != QLatin1String("..")
        && !text.contains(QLatin1Char('/')) && !text.contains(QLatin1Char('\\'));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mkpackage"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        tr("Builds the update package that turns the installed folder (--old) into the new "
           "version (--new), and optionally publishes it in a catalogue."));
    parser.addHelpOption();
    const auto option = [](const char *name, const char *description, const char *valueName) {
        return QCommandLineOption(
            QString::fromLatin1(name), tr(description), QString::fromLatin1(valueName));
    };
    const QCommandLineOption oldOption = option("old", "The installed version's folder.", "dir");
    const QCommandLineOption newOption = option("new", "The new version's folder.", "dir");
    const QCommandLineOption projectOption = option("project", "The component's project.", "P");
    const QCommandLineOption nameOption = option("name", "The component's name.", "N");
    const QCommandLineOption typeOption
        = option("type", "The component's type: app or plugin.", "T");
    const QCommandLineOption outputOption = option("output",
        "The package file (name ending in .zip); with --catalogue a file name only, written "
        "into the catalogue.",
        "file");
    const QCommandLineOption catalogueOption = option(
        "catalogue", "Also publish the package in this catalogue folder's index.xml.", "dir");
    const QCommandLineOption versionOption
        = option("version", "The new version (required with --catalogue).", "V");
    const QCommandLineOption descriptionOption
        = option("description", "The component's description.", "text");
    const QCommandLineOption changelogOption = option("changelog", "What is new.", "text");
    const QCommandLineOption changelogFileOption
        = option("changelog-file", "What is new, read from a UTF-8 file.", "file");
    const QCommandLineOption copyrightsOption = option("copyrights", "Copyright notice.", "text");
    const QCommandLineOption authorOption = option("author", "Author.", "text");
    const QCommandLineOption webpageOption = option("webpage", "Web page.", "url");
    const QCommandLineOption emailOption = option("email", "Contact e-mail address.", "address");
    const QCommandLineOption timestampOption
        = option("timestamp", "Publication time in seconds since 1970 (default now).", "seconds");
    const QCommandLineOption criticalOption(
        QStringLiteral("critical"), tr("Mark the update as critical."));
    const QCommandLineOption signOption = option("sign",
        "Sign the package with this minisign secret key, writing <package>.minisig beside it "
        "(needs --version). A key with a password takes it from ORVI_SIGNING_PASSWORD or asks "
        "on the terminal.",
        "secret-key");
    const QCommandLineOption generateKeyOption = option("generate-key",
        "Only make a signing key pair, DIR/orvi.pub and DIR/orvi.key, in minisign's formats; "
        "the secret key gets a password from ORVI_SIGNING_PASSWORD or asked on the terminal.",
        "dir");
    const QCommandLineOption deltaOption = option("delta",
        "Also write a delta package from the version in --old, which is BASE: "
        "<package>-from-BASE.zip beside the package, signed and published with it.",
        "BASE");
    const QCommandLineOption noPasswordOption(QStringLiteral("no-password"),
        tr("With --generate-key: a secret key without a password (keep it offline)."));
    const QCommandLineOption delegateOption = option("delegate",
        "Only make the statement by which the package key of --sign delegates answering update "
        "queries to the update server's key in this .pub file, written to --output.",
        "server-public-key");
    const QCommandLineOption validDaysOption = option(
        "valid-days", "With --delegate: the days the delegation holds (default 30).", "days");
    parser.addOptions({ oldOption, newOption, projectOption, nameOption, typeOption, outputOption,
        catalogueOption, versionOption, descriptionOption, changelogOption, changelogFileOption,
        copyrightsOption, authorOption, webpageOption, emailOption, timestampOption, criticalOption,
        signOption, generateKeyOption, noPasswordOption, deltaOption, delegateOption,
        validDaysOption });
    parser.process(app);

    if (parser.isSet(generateKeyOption))
        return generateKey(parser.value(generateKeyOption), !parser.isSet(noPasswordOption));
    if (parser.isSet(delegateOption)) {
        bool ok = true;
        const int days
            = parser.isSet(validDaysOption) ? parser.value(validDaysOption).toInt(&ok) : 30;
        // A longer delegation would be refused by every updater of this build.
        if (!ok || days <= 0 || days > ORVI_SERVER_KEY_DELEGATION_MAX_DAYS)
            return fail(tr("--valid-days must be a number of days from 1 to %1, the longest "
                           "delegation the updaters take")
                            .arg(ORVI_SERVER_KEY_DELEGATION_MAX_DAYS));
        if (parser.value(signOption).isEmpty() || parser.value(outputOption).isEmpty())
            return fail(tr("--delegate needs --sign and --output"));
        return delegate(parser.value(delegateOption), parser.value(signOption), days,
            parser.value(outputOption));
    }

    for (const QCommandLineOption &required :
        { oldOption, newOption, projectOption, nameOption, typeOption, outputOption }) {
        if (parser.value(required).isEmpty())
            return fail(tr("--%1 is required (see --help)").arg(required.names().constFirst()));
    }
    const QString project = parser.value(projectOption);
    const QString name = parser.value(nameOption);
    const QString type = parser.value(typeOption);
    if (type != QLatin1String("app") && type != QLatin1String("plugin"))
        return fail(tr("--type must be app or plugin"));
    // The installer unpacks into a folder named after the component.
    if (!isPlainName(name))
        return fail(tr("--name must be a plain file name"));

    QString outputPath = parser.value(outputOption);
    const bool publish = parser.isSet(catalogueOption);
    const QString packageFileName = QFileInfo(outputPath).fileName();
    if (!CatalogueEntry::isValidPackageName(packageFileName))
        return fail(tr("the package file name must be one plain ASCII name ending in .zip "
                       "(it becomes the download link): %1")
                        .arg(packageFileName));
    Catalogue catalogue;
    QString errorText;
    const QString catalogueFolder = parser.value(catalogueOption);
    if (publish) {
        if (outputPath != packageFileName)
            return fail(tr("with --catalogue, --output is a file name only"));
        if (parser.value(versionOption).isEmpty())
            return fail(tr("--version is required with --catalogue"));
        if (!QDir().mkpath(catalogueFolder))
            return fail(tr("Cannot create %1").arg(catalogueFolder));
        if (!catalogue.load(catalogueFolder, true, &errorText))
            return fail(errorText);
        outputPath = QDir(catalogueFolder).filePath(packageFileName);
    }

    CatalogueEntry entry;
    entry.project = project;
    entry.name = name;
    entry.type = type;
    entry.version = parser.value(versionOption);
    entry.package = packageFileName;
    entry.description = parser.value(descriptionOption);
    entry.changelog = parser.value(changelogOption);
    if (parser.isSet(changelogFileOption)) {
        QFile file(parser.value(changelogFileOption));
        if (!file.open(QIODevice::ReadOnly))
            return fail(tr("Cannot read %1: %2").arg(file.fileName(), file.errorString()));
        entry.changelog = QString::fromUtf8(file.readAll());
    }
    entry.copyrights = parser.value(copyrightsOption);
    entry.author = parser.value(authorOption);
    entry.webpage = parser.value(webpageOption);
    entry.email = parser.value(emailOption);
    entry.critical = parser.isSet(criticalOption);
    if (parser.isSet(timestampOption)) {
        bool ok = false;
        entry.timestamp = parser.value(timestampOption).toUInt(&ok);
        if (!ok)
            return fail(tr("--timestamp must be a number of seconds"));
    } else {
        entry.timestamp = static_cast<quint32>(QDateTime::currentSecsSinceEpoch());
    }

    // The key is read, and its password asked for, before the package is built.
    PackageSigner signer;
    const bool signing = parser.isSet(signOption);
    const QString signaturePath = outputPath + QStringLiteral(".minisig");
    if (signing) {
        if (entry.version.isEmpty())
            return fail(tr("--version is required with --sign (the signature names it)"));
        if (!loadSigner(parser.value(signOption), &signer, &errorText))
            return fail(errorText);
    }

    const QString deltaBase = parser.value(deltaOption);
    const QString deltaFileName
        = QStringLiteral("%1-from-%2.zip").arg(packageFileName.chopped(4), deltaBase);
    const QString deltaPath = QFileInfo(outputPath).dir().filePath(deltaFileName);
    if (parser.isSet(deltaOption) && !CatalogueEntry::isValidPackageName(deltaFileName))
        return fail(tr("--delta must be a version that makes a plain ASCII file name: %1")
                        .arg(deltaFileName));

    PackageBuilder builder(project, name, type);
    if (!builder.build(parser.value(oldOption), parser.value(newOption), outputPath, &errorText))
        return fail(errorText);
    for (const QString &warning : builder.warnings())
        print(stderr, QStringLiteral("mkpackage: warning: ") + warning);
    const FolderComparison &comparison = builder.comparison();
    print(stdout,
        tr("%1: %2 added, %3 changed, %4 removed")
            .arg(outputPath)
            .arg(comparison.addedFiles().size())
            .arg(comparison.changedFiles().size())
            .arg(comparison.removedFiles().size()));
    if (parser.isSet(deltaOption)) {
        DeltaBuilder delta(project, name, type);
        if (!delta.build(parser.value(oldOption), parser.value(newOption),
                comparison.removedFiles(), comparison.addedFiles(), comparison.changedFiles(),
                deltaPath, &errorText))
            return fail(errorText);
        print(stdout,
            tr("%1: delta from %2, %3 patched, %4 bytes against %5")
                .arg(deltaPath, deltaBase)
                .arg(delta.patchCount())
                .arg(QFileInfo(deltaPath).size())
                .arg(QFileInfo(outputPath).size()));
        entry.deltas.append({ deltaBase, deltaFileName });
        if (signing) {
            TrustedComment comment;
            comment.project = project.toUtf8();
            comment.name = name.toUtf8();
            comment.type = type.toUtf8();
            comment.version = entry.version.toUtf8();
            comment.base = deltaBase.toUtf8();
            comment.file = deltaFileName.toUtf8();
            if (!signer.sign(deltaPath, comment.toText(), deltaPath + QStringLiteral(".minisig"),
                    &errorText))
                return fail(errorText);
        } else {
            QFile::remove(deltaPath + QStringLiteral(".minisig"));
        }
    }
    if (signing) {
        TrustedComment comment;
        comment.project = project.toUtf8();
        comment.name = name.toUtf8();
        comment.type = type.toUtf8();
        comment.version = entry.version.toUtf8();
        comment.file = packageFileName.toUtf8();
        if (!signer.sign(outputPath, comment.toText(), signaturePath, &errorText))
            return fail(errorText);
        print(stdout, tr("%1: signed with key %2").arg(signaturePath, signer.keyIdText()));
    } else if (QFile::exists(signaturePath)) {
        // The signature of an earlier build would not match the new package.
        if (!QFile::remove(signaturePath))
            return fail(tr("Cannot remove the stale signature %1").arg(signaturePath));
        print(stderr,
            QStringLiteral("mkpackage: warning: ")
                + tr("removed the signature of the earlier package, %1").arg(signaturePath));
    }
    if (!publish)
        return 0;

    catalogue.publish(entry);
    if (!catalogue.save(catalogueFolder, &errorText))
        return fail(errorText);
    print(stdout,
        tr("published %1 %2 %3 version %4 in %5")
            .arg(project, name, type, entry.version, catalogueFolder));
    return 0;
}
