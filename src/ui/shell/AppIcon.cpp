#include "ui/shell/AppIcon.h"

// The resources live in a static library: they must be registered by hand, once. (The macro
// cannot be used inside a namespace.)
static void InitResources()
{
    Q_INIT_RESOURCE(kestrune);
}

QIcon AppIcon()
{
    static const bool registered = (InitResources(), true);
    (void)registered;
    static const int kSizes[] = {16, 32, 48, 64, 128, 256};
    QIcon icon;
    for (int size : kSizes)
        icon.addFile(QStringLiteral(":/kestrune/icons/kestrune-%1.png").arg(size), QSize(size, size));
    return icon;
}
