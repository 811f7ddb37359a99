#pragma once

#include <QString>
#include <QStringList>

/// Deletes every file below path, hidden ones included, and keeps every folder. Links are
/// removed as links and never followed; the running updater's own files, the files named in
/// spared (absolute, clean paths) and, while an installation journal in path is unfinished,
/// everything at all are spared. Failures are ignored.
void removeFolderFiles(const QString &path, const QStringList &spared = QStringList());
