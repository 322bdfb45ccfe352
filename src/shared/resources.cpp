#include "shared/resources.h"

#include <QtGlobal>

void LoadProgramResources()
{
    static const bool loaded = [] {
        Q_INIT_RESOURCE(quillock);
        return true;
    }();
    Q_UNUSED(loaded);
}
