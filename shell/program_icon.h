// The program's own icon, the same picture the desktop entry names, linked in so that the
// window and the tray show it wherever the program runs from.
#pragma once

#include <QIcon>

namespace shell {

// 16, 32, 64 and 256 pixel renderings of dist/icons/vantrosmtp.svg.
QIcon ProgramIcon();

} // namespace shell
