#include "resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE declares the registration function where it stands, so not inside a namespace.
static void registerEmbeddedImages()
{
    Q_INIT_RESOURCE(resources);
}

namespace Resources {

void init()
{
    registerEmbeddedImages();
}

} // namespace Resources
