// GBK (code page 936) <-> UTF-8, used only where text crosses into or out of a widget.
#pragma once

#include <string>

namespace platform {

// Bytes that are not valid GBK become U+FFFD; nothing is dropped silently.
std::string GbkToUtf8(const std::string& gbk);
// Characters without a GBK form become '?'.
std::string Utf8ToGbk(const std::string& utf8);

} // namespace platform
