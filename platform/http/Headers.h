// Headers: the header fields of an HTTP request or response, in the order first given. Names
// are looked up without regard to letter case; a name given twice is folded into one field
// whose values are joined by ", ". A plain value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fw::http {

class Headers {
public:
    using Field = std::pair<std::string, std::string>;

    // Sets `name` to `value`, replacing any value it had.
    void set(std::string_view name, std::string_view value);
    // Adds `value` to `name`: a new field, or ", " and the value after the present one.
    void add(std::string_view name, std::string_view value);
    void remove(std::string_view name);

    // The value of `name`; nothing when there is no such field.
    std::optional<std::string> get(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    const std::string* find(std::string_view name) const;

    std::size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }
    std::vector<Field>::const_iterator begin() const { return fields_.begin(); }
    std::vector<Field>::const_iterator end() const { return fields_.end(); }

    bool operator==(const Headers&) const = default;

    // Letter case ignored, ASCII only (header names are tokens).
    static bool sameName(std::string_view a, std::string_view b);

private:
    std::vector<Field> fields_;
};

}  // namespace fw::http
