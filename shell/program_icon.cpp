#include "shell/program_icon.h"

#include <QPixmap>
#include <string_view>

namespace shell {

std::string_view ProgramIcon16Png();
std::string_view ProgramIcon32Png();
std::string_view ProgramIcon64Png();
std::string_view ProgramIcon256Png();

QIcon ProgramIcon() {
    QIcon icon;
    for (std::string_view png :
         {ProgramIcon16Png(), ProgramIcon32Png(), ProgramIcon64Png(), ProgramIcon256Png()}) {
        QPixmap pixmap;
        if (pixmap.loadFromData(reinterpret_cast<const uchar*>(png.data()),
                                static_cast<uint>(png.size()), "PNG"))
            icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace shell
