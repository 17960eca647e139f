// JPEG pictures decoded with libjpeg, called directly.
#pragma once

#include <QImage>
#include <string_view>

namespace shell {

// A null image when the data is not a JPEG libjpeg can decode (libjpeg's errors are caught,
// never fatal).
QImage DecodeJpeg(std::string_view data);

// The About box's two pictures, linked into the program.
std::string_view ProductPictureJpeg();
std::string_view BannerPictureJpeg();

} // namespace shell
