#include "common/window/programicons.h"

namespace velto {

namespace {

QIcon IconNamed(const QString& name) {
    QIcon icon;
    for (int size : {VELTO_ICON_SIZES}) {
        icon.addFile(QStringLiteral(":/icons/%1-%2.png").arg(name).arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace

QIcon ShellIcon() {
    return IconNamed(QStringLiteral("veltoshell"));
}

QIcon ExtractIcon() {
    return IconNamed(QStringLiteral("veltoextract"));
}

}  // namespace velto
