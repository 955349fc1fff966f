#include "platform.h"

namespace Platform {

QString productProcessName()
{
    return QStringLiteral("Halvorquintel");
}

} // namespace Platform
