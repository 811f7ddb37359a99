#pragma once

#include "inventoryparser.h"

#include <QByteArray>
#include <QList>
#include <QString>

class Catalogue;

/*
 * Writes the update reply: one XML document, root "updates", with one "request" element per
 * inventory component (attributes project, name, type) holding "latest" when the catalogue
 * has nothing newer, "noSuchComponent" when it does not know the component, or the update's
 * version, description, copyrights, author, webpage, email, changelog, link, critical and
 * timestamp.
 */
class UpdateReplyBuilder
{
public:
    struct Summary
    {
        int available = 0;
        int latest = 0;
        int unknown = 0;
    };

    /// The reply for components; links are baseUrl followed by "/" and the package file.
    static QByteArray build(const QList<InventoryParser::Component> &components,
        const Catalogue &catalogue, const QString &baseUrl, Summary *summary);
};
