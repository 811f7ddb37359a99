#include "formloader.h"

#include "ui_Changelog.h"
#include "ui_Download.h"
#include "ui_Install.h"
#include "ui_Summary.h"

#include <iterator>

namespace {
template<class Form>
QWidget *build()
{
    auto *window = new QWidget;
    Form().setupUi(window);
    return window;
}

struct CompiledForm
{
    const char *name;
    QWidget *(*build)();
};

const CompiledForm compiledForms[] = {
    { "Changelog", &build<Ui::Updater_Changelog_MainWindow> },
    { "Download", &build<Ui::Updater_Download_MainWindow> },
    { "Install", &build<Ui::Updater_Install_MainWindow> },
    { "Summary", &build<Ui::Updater_Summary_MainWindow> },
};
} // namespace

QWidget *FormLoader::load(const QString &name)
{
    for (const CompiledForm &form : compiledForms) {
        if (name == QLatin1String(form.name))
            return form.build();
    }
    qFatal("FormLoader: there is no form %s", qPrintable(name));
}

void FormLoader::bindLifetime(QObject *dialog, QWidget *form)
{
    QObject::connect(form, &QObject::destroyed, dialog, &QObject::deleteLater);
}

void FormLoader::show(QWidget *form, Size size)
{
    form->setAttribute(Qt::WA_DeleteOnClose);
    if (size == CompactSize)
        form->adjustSize();
    form->show();
}

void FormLoader::missingWidget(const QWidget *form, const QString &name, const char *className)
{
    qFatal("FormLoader: form %s has no %s named %s", qPrintable(form->objectName()), className,
        qPrintable(name));
}
