#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

/*
 * Reads an update request: "<s nonce="N">" (N 64 hexadecimal digits the updater chose, which
 * the answer's signature covers; "<s>" from updaters before signed answers), the component
 * inventory the main application printed, "</s>". The inventory holds one element per
 * installed component:
 *   <component project="P" name="N" type="T" version="V"/>
 */
class InventoryParser
{
public:
    struct Component
    {
        QString project;
        QString name;
        QString type;
        QString version;
    };

    /// True once received holds the closing marker after the opening one, i.e. the whole
    /// request has arrived. searched and openMarker (start with 0 and -1) carry what earlier
    /// calls on the same growing request found, so that no byte is searched twice.
    static bool isComplete(const QByteArray &received, qsizetype *searched, qsizetype *openMarker);
    /// The digits of a nonce.
    static constexpr qsizetype NonceSize = 64;

    /// The components of request, in inventory order, and its nonce (empty for "<s>"); false
    /// with errorText when the request has no markers, its nonce is not 64 hexadecimal digits
    /// or the inventory is not well-formed.
    static bool parse(const QByteArray &request, QList<Component> *components, QByteArray *nonce,
        QString *errorText);
};
