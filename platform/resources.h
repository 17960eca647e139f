// Named binary resources linked into the program (the Windows build keeps its sounds as
// resources; the same names and types are used here).
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Registers `data` (which must outlive the program) under name and type. Returns true so
// that a namespace-scope `static bool registered = RegisterResource(...)` does it at start.
bool RegisterResource(std::string name, std::string type, std::string_view data);

// Looks a resource up, name and type compared without regard to ASCII case. Empty view and
// false when there is none.
bool FindResource(const std::string& name, const std::string& type, std::string_view& data);

} // namespace platform
