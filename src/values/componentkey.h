#pragma once

#include <QHashFunctions>
#include <QString>

/*
 * A component as the inventory names it and the update server answers it: project, name and
 * type, compared as text. Both sides key their tables by it, and both hold to the one bound
 * on what the server echoes of a component it does not know.
 */
struct ComponentKey
{
    /// The longest project, name or type (UTF-8 bytes) the update server echoes for an
    /// unknown component; it leaves out one with a longer text.
    static constexpr qsizetype MaximumEchoedText = 256;

    QString project;
    QString name;
    QString type;

    bool operator==(const ComponentKey &other) const
    {
        return project == other.project && name == other.name && type == other.type;
    }
};

inline size_t qHash(const ComponentKey &key, size_t seed = 0)
{
    return qHashMulti(seed, key.project, key.name, key.type);
}
