#pragma once

#include <QIcon>

namespace velto {

// The programs' own icons, each with its pixmaps from 16 to 256 px (the 16 px one drawn on its
// own grid): a flame on a steel beam for VeltoShell, results going into a sheet for
// VeltoExtract. The same pictures are installed for the desktop (packaging/icons/).
QIcon ShellIcon();
QIcon ExtractIcon();

}  // namespace velto
