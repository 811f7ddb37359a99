#pragma once

#include <QString>

/// Deletes every file below path, hidden ones included, and keeps every folder. Links are
/// removed as links and never followed, and the running updater's own files are spared.
/// Failures are ignored.
void removeFolderFiles(const QString &path);
