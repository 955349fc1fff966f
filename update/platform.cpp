#include "platform.h"

namespace Platform {

QString productProcessName()
{
    return QStringLiteral("Halvorquintel");
}

QString updaterProcessName()
{
    return QStringLiteral("quillFern");
}

} // namespace Platform
