// Shows each window of the updater with sample content, with the Polish catalogue
// installed, and saves a picture of it as PNG into the folder given on the command line.

#include "embeddedresources.h"
#include "formloader.h"
#include "messageboxhandler.h"
#include "orvichangelogdialog.h"
#include "orvidownloaddialog.h"
#include "orviupdaterengine.h"
#include "updateentry.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
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
    return FormLoader::load(QStringLiteral(":/res/%1.ui").arg(QLatin1String(form)));
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

UpdateEntry *sampleEntry(const char *name, const char *version, const char *description,
        const char *changelog)
{
    return new UpdateEntry("orvi", name, "app", version, description, "", "", "", "",
            changelog, "", false, 0);
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
    QTextStream(stdout) << (saved ? "wrote " : "cannot write ") << path << ' '
                        << window->width() << 'x' << window->height() << '\n';
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

    // The engine makes its download folder below the temporary folder; keep it out of /tmp.
    QTemporaryDir temporary;
    qputenv("TMPDIR", QFile::encodeName(temporary.path()));
    // No box is expected; should one come, it must not block the run.
    MessageBoxHandler::setAnswerer([](const MessageBoxHandler::Box &box) {
        QTextStream(stderr) << "screenshots: unexpected box: " << box.text << '\n';
        return MessageBoxHandler::defaultAnswer(box);
    });

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
                    FormLoader::widget<QPushButton>(window,
                            QStringLiteral("Updater_Changelog_ViewChangelog"))
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
    return ok ? 0 : 1;
}
