// Shows each window of the updater with sample content, with the Polish catalogue
// installed, and saves a picture of it as PNG into the folder given on the command line.

#include "embeddedresources.h"
#include "formloader.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
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

    const Shot shots[] = {
        { "form-changelog.png", [] { return loadedForm("Changelog"); } },
        { "form-download.png", [] { return loadedForm("Download"); } },
        { "form-install.png", [] { return loadedForm("Install"); } },
        { "form-summary.png", [] { return loadedForm("Summary"); } },
    };
    bool ok = true;
    for (const Shot &shot : shots)
        ok &= take(shot, folder);
    return ok ? 0 : 1;
}
