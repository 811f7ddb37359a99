// Shows each window of the updater with sample content, with the Polish catalogue
// installed, and saves a picture of it as PNG into the folder given on the command line.

#include "embeddedresources.h"
#include "formloader.h"
#include "messageboxhandler.h"
#include "orvichangelogdialog.h"
#include "orvidownloaddialog.h"
#include "orviinstalldialog.h"
#include "orviupdaterengine.h"
#include "platform.h"
#include "updateentry.h"
#include "zipwriter.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTranslator>
#include <QWidget>

#include <functional>
#include <memory>

namespace {

struct Shot
{
    const char *fileName;
    // Builds the window to picture; the window stays owned by the caller.
    std::function<QWidget *()> window;
};

QWidget *loadedForm(const char *form)
{
    return FormLoader::load(QLatin1String(form));
}

// The window a dialog has just opened.
QWidget *openWindow(const char *name)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->objectName() == QLatin1String(name))
            return widget;
    }
    qFatal("screenshots: no window %s is open", name);
}

UpdateEntry *sampleEntry(
    const char *name, const char *version, const char *description, const char *changelog)
{
    return new UpdateEntry(
        "orvi", name, "app", version, description, "", "", "", "", changelog, "", false, 0);
}

// A plug-in package of one file, the descriptor included, as the installer reads it.
bool writePackage(const QString &archivePath, const QByteArray &name, const QByteArray &type,
    const QByteArray &file)
{
    const QByteArray descriptor = "<package project=\"orvi\" name=\"" + name + "\" type=\"" + type
        + "\"><file path=\"" + name + "\" name=\"" + file + "\" action=\"add\"/></package>";
    ZipWriter zip;
    QString errorText;
    return zip.open(archivePath, &errorText)
        && zip.addData(name + '/' + file, QByteArray(2048, 'x'), &errorText)
        && zip.addData(name + ".xml", descriptor, &errorText) && zip.close(&errorText);
}

bool save(QWidget *window, const QString &folder, const char *fileName)
{
    const QString path = folder + QLatin1Char('/') + QLatin1String(fileName);
    const bool saved = window->grab().save(path, "PNG");
    QTextStream(stdout) << (saved ? "wrote " : "cannot write ") << path << ' ' << window->width()
                        << 'x' << window->height() << '\n';
    return saved;
}

// A real installation of two plug-in packages: the install window halfway, then the
// summary. With failing set the second package names the wrong type.
bool takeInstallation(const QString &folder, bool failing)
{
    OrviUpdaterEngine engine;
    QVector<UpdateEntry *> entries;
    bool ok = true;
    for (const QByteArray &name : { QByteArray("orvi-core"), QByteArray("orvi-emoticons") }) {
        const QByteArray type = failing && name == "orvi-emoticons" ? "app" : "plugin";
        ok &= writePackage(engine.downloadFolder() + QLatin1String(name) + QLatin1String(".zip"),
            name, type, name == "orvi-core" ? "core.dll" : "smile.png");
        entries << new UpdateEntry("orvi", name.toStdString(), "plugin", "2.0", "", "", "", "", "",
            "", "http://updates.orvi.example/" + name.toStdString() + ".zip", false, 0);
    }
    engine.adoptUpdates(entries);

    bool watching = false;
    QObject::connect(&engine, &OrviUpdaterEngine::installFile, [&](const QString &) {
        if (watching || failing)
            return;
        watching = true;
        QWidget *window = openWindow("Updater_Install_MainWindow");
        auto *bar
            = FormLoader::widget<QProgressBar>(window, QStringLiteral("Updater_Install_Progress"));
        QObject::connect(bar, &QProgressBar::valueChanged, window, [&, window](int value) {
            if (value == 50)
                ok &= save(window, folder, "install-progress.png");
        });
    });
    new OrviInstallDialog(&engine);
    QWidget *summary = openWindow("Updater_Summary_MainWindow");
    QApplication::processEvents();
    ok &= save(summary, folder, failing ? "summary-failure.png" : "summary-success.png");
    summary->close();
    QApplication::processEvents();
    return ok;
}

bool take(const Shot &shot, const QString &folder)
{
    std::unique_ptr<QWidget> window(shot.window());
    window->show();
    // Let the window system map the window and the style settle before painting.
    QApplication::processEvents();
    QApplication::processEvents();
    const QString path = folder + QLatin1Char('/') + QLatin1String(shot.fileName);
    const bool saved = window->grab().save(path, "PNG");
    QTextStream(stdout) << (saved ? "wrote " : "cannot write ") << path << ' ' << window->width()
                        << 'x' << window->height() << '\n';
    return saved;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: screenshots <output folder>\n";
        return 2;
    }
    EmbeddedResources::registerBundle();
    QTranslator translator;
    if (translator.load(QStringLiteral(":/languages/orvi_pl_PL.qm")))
        QCoreApplication::installTranslator(&translator);

    const QString folder = QFile::decodeName(argv[1]);
    QDir().mkpath(folder);

    // The installations below are real: keep the download folder (below the cache home), the
    // recorded versions (below the state home) and any scratch file out of the user's own.
    QTemporaryDir temporary;
    qputenv("TMPDIR", QFile::encodeName(temporary.path()));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(temporary.path() + QStringLiteral("/cache")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(temporary.path() + QStringLiteral("/state")));
    // Only the failing installation shows boxes; none may block the run, and its failure is
    // abandoned rather than retried, which would start this program again.
    MessageBoxHandler::setAnswerer([](const MessageBoxHandler::Box &box) {
        QTextStream(stderr) << "screenshots: box: " << box.text << '\n';
        return box.buttons.testFlag(QMessageBox::Abort) ? QMessageBox::Abort
                                                        : MessageBoxHandler::defaultAnswer(box);
    });
    Platform::setDetachedStarter([](const QString &, const QStringList &) { return true; });

    OrviUpdaterEngine offer;
    offer.adoptUpdates({ sampleEntry("orvi-core", "7.2.0", "Komunikator Orvi",
                             "Szybsze uruchamianie programu\n"
                             "Poprawiono wysyłanie plików\n"
                             "Nowe powiadomienia o wiadomościach"),
        sampleEntry("orvi-emoticons", "2.1", "Pakiet emotikon",
            "Dodano 24 nowe emotikony\nŁatwiejsze wyszukiwanie") });
    // Without entries the download that the dialog starts has nothing to fetch, so the
    // picture shows only what the sample signals set.
    OrviUpdaterEngine download;

    const Shot shots[] = {
        { "form-changelog.png", [] { return loadedForm("Changelog"); } },
        { "form-download.png", [] { return loadedForm("Download"); } },
        { "form-install.png", [] { return loadedForm("Install"); } },
        { "form-summary.png", [] { return loadedForm("Summary"); } },
        { "offer-folded.png",
            [&offer] {
                new OrviChangelogDialog(&offer);
                return openWindow("Updater_Changelog_MainWindow");
            } },
        { "offer-unfolded.png",
            [&offer] {
                new OrviChangelogDialog(&offer);
                QWidget *window = openWindow("Updater_Changelog_MainWindow");
                FormLoader::widget<QPushButton>(
                    window, QStringLiteral("Updater_Changelog_ViewChangelog"))
                    ->click();
                return window;
            } },
        { "download-progress.png",
            [&download] {
                new OrviDownloadDialog(&download);
                emit download.downloadFile(QStringLiteral("orvi-emoticons"));
                emit download.downloadProgress(63);
                return openWindow("Updater_Download_MainWindow");
            } },
    };
    bool ok = true;
    for (const Shot &shot : shots)
        ok &= take(shot, folder);
    // Plug-ins go below the application-data folder; keep that out of the real one too.
    qputenv("APPDATA", QFile::encodeName(temporary.path() + QStringLiteral("/appdata")));
    ok &= takeInstallation(folder, false);
    ok &= takeInstallation(folder, true);
    return ok ? 0 : 1;
}
