#pragma once

#include <QSet>
#include <QString>

/*
 * Makes folders below a base folder without ever going through a link: every folder from the
 * base down must be a real folder or is created as one. The base and the folders above it
 * belong to the caller and are made as they are.
 */
class FolderMaker
{
public:
    /// Makes folders below base, a path that ends with "/".
    explicit FolderMaker(const QString &base);

    /// Makes folder and every missing folder between it and the base. False when one cannot
    /// be made, or a file or a link stands where one belongs; errorText() says why.
    bool make(const QString &folder);
    /// The system's description of the last failure.
    QString errorText() const { return m_errorText; }

private:
    QString m_base;
    QSet<QString> m_known;
    QString m_errorText;
};
