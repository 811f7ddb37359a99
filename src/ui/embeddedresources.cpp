#include "embeddedresources.h"

#include <QtGlobal>

void EmbeddedResources::registerBundle()
{
    Q_INIT_RESOURCE(updater);
}
