#include "stepbounds.h"

#include <QDir>

namespace {
// File names are compared as the file system does; Windows ignores case.
constexpr Qt::CaseSensitivity nameCase =
#ifdef Q_OS_WIN
    Qt::CaseInsensitive;
#else
    Qt::CaseSensitive;
#endif
} // namespace

StepBounds::StepBounds(const QStringList &roots)
{
    for (const QString &root : roots) {
        if (root.isEmpty() || !QDir::isAbsolutePath(root))
            continue;
        QString clean = QDir::cleanPath(QDir::fromNativeSeparators(root));
        if (!clean.endsWith(QLatin1Char('/')))
            clean += QLatin1Char('/');
        m_roots << clean;
    }
}

bool StepBounds::holds(const PlanStep &step) const
{
    for (const QString *path : { &step.target, &step.backup, &step.temporary }) {
        if (!path->isEmpty() && !holds(*path))
            return false;
    }
    return !step.target.isEmpty();
}

bool StepBounds::holds(const QString &path) const
{
    const QString native = QDir::fromNativeSeparators(path);
    if (!QDir::isAbsolutePath(native)
        || native.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return false;
    const QString clean = QDir::cleanPath(native);
    for (const QString &root : m_roots) {
        if (clean.size() > root.size() && clean.startsWith(root, nameCase))
            return true;
    }
    return false;
}
