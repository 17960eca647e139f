#include "platform/resources.h"

#include "platform/text.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace platform {

namespace {

struct Table {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, std::string_view> entries;
};

Table& Resources() {
    static Table table;
    return table;
}

} // namespace

bool RegisterResource(std::string name, std::string type, std::string_view data) {
    Table& table = Resources();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.entries[{AsciiUpper(std::move(type)), AsciiUpper(std::move(name))}] = data;
    return true;
}

bool FindResource(const std::string& name, const std::string& type, std::string_view& data) {
    Table& table = Resources();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.entries.find({AsciiUpper(type), AsciiUpper(name)});
    if (it == table.entries.end()) {
        data = {};
        return false;
    }
    data = it->second;
    return true;
}

} // namespace platform
