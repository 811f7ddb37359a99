#pragma once

#include "inventoryparser.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class CatalogueCache;

/*
 * Writes the update reply: one XML document, root "updates", with one "request" element per
 * inventory component (attributes project, name, type) holding "latest" when the catalogue
 * has nothing newer, "noSuchComponent" when it does not know the component, or the update's
 * version, description, copyrights, author, webpage, email, changelog, link, critical,
 * timestamp and, when the catalogue folder holds "<package>.minisig", "signature" with that
 * file's text.
 */
class UpdateReplyBuilder
{
public:
    struct Summary
    {
        int available = 0;
        int latest = 0;
        int unknown = 0;
        /// Signature files left out of the reply: too large, not UTF-8 or not XML text.
        QStringList unusableSignatures;
    };

    /// The reply for components from catalogue as it was last refreshed; links are baseUrl
    /// followed by "/" and the package file.
    static QByteArray build(const QList<InventoryParser::Component> &components,
        CatalogueCache &catalogue, const QString &baseUrl, Summary *summary);
};
