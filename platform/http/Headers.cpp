#include "platform/http/Headers.h"

#include <algorithm>

namespace fw::http {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

}  // namespace

bool Headers::sameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return lower(x) == lower(y); });
}

const std::string* Headers::find(std::string_view name) const {
    for (const auto& field : fields_) {
        if (sameName(field.first, name)) {
            return &field.second;
        }
    }
    return nullptr;
}

std::optional<std::string> Headers::get(std::string_view name) const {
    if (const std::string* value = find(name)) {
        return *value;
    }
    return std::nullopt;
}

void Headers::set(std::string_view name, std::string_view value) {
    remove(name);
    fields_.emplace_back(std::string(name), std::string(value));
}

void Headers::add(std::string_view name, std::string_view value) {
    for (auto& field : fields_) {
        if (sameName(field.first, name)) {
            field.second.append(", ").append(value);
            return;
        }
    }
    fields_.emplace_back(std::string(name), std::string(value));
}

void Headers::remove(std::string_view name) {
    std::erase_if(fields_, [&](const Field& field) { return sameName(field.first, name); });
}

}  // namespace fw::http
