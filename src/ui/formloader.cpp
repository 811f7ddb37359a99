#include "formloader.h"

#include <QFile>
#include <QUiLoader>

QWidget *FormLoader::load(const QString &resourcePath)
{
    QUiLoader loader;
    QFile file(resourcePath);
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("FormLoader: cannot open form %s: %s", qPrintable(resourcePath),
            qPrintable(file.errorString()));
    }
    QWidget *form = loader.load(&file, nullptr);
    file.close();
    if (!form) {
        qFatal("FormLoader: cannot load form %s: %s", qPrintable(resourcePath),
            qPrintable(loader.errorString()));
    }
    return form;
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
