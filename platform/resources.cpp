#include "platform/resources.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace platform {

namespace {

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
    return s;
}

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
    table.entries[{Upper(std::move(type)), Upper(std::move(name))}] = data;
    return true;
}

bool FindResource(const std::string& name, const std::string& type, std::string_view& data) {
    Table& table = Resources();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.entries.find({Upper(type), Upper(name)});
    if (it == table.entries.end()) {
        data = {};
        return false;
    }
    data = it->second;
    return true;
}

} // namespace platform
