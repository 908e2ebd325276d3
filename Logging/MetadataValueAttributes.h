// Small typed markers carried beside an interpolated metadata text without changing it.
//
// An attribute is any type A with `std::int64_t rawValue() const` and
// `static std::optional<A> fromRawValue(std::int64_t)`; the type itself is its key, so a set holds
// at most one value per attribute type. The first entry lives inline, so one attribute costs no
// allocation; further entries go to a list shared between copies until one of them changes it.
//
// Plain values: copies may be used on different threads; one set must not be changed from two
// threads at once.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace logging {

template <class A>
concept MetadataAttribute = requires(const A& attribute, std::int64_t raw) {
    { attribute.rawValue() } -> std::same_as<std::int64_t>;
    { A::fromRawValue(raw) } -> std::same_as<std::optional<A>>;
};

class MetadataValueAttributes {
public:
    // Identifies an attribute type: the address of a variable that exists once per type, so it
    // fits one machine word and is never null.
    using Key = const void*;

    template <MetadataAttribute A>
    static Key keyOf() noexcept {
        return &keyTag<A>;
    }

    struct Entry {
        Key key = nullptr;
        std::int64_t value = 0;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    MetadataValueAttributes() = default;

    // Built from attribute values in order; a later value of the same type replaces the earlier
    // one's value in place.
    template <MetadataAttribute... As>
    requires(sizeof...(As) > 0) explicit MetadataValueAttributes(const As&... attributes) {
        (setRawValue(attributes.rawValue(), keyOf<As>()), ...);
    }

    // The stored attribute of type A; none when absent or when A refuses the stored raw value.
    template <MetadataAttribute A>
    std::optional<A> get() const {
        const std::optional<std::int64_t> raw = rawValue(keyOf<A>());
        if (!raw) {
            return std::nullopt;
        }
        return A::fromRawValue(*raw);
    }

    // Stores the attribute's raw value under its type; none removes the type's entry.
    template <MetadataAttribute A>
    void set(const std::optional<A>& attribute) {
        if (attribute) {
            setRawValue(attribute->rawValue(), keyOf<A>());
        } else {
            removeValue(keyOf<A>());
        }
    }
    template <MetadataAttribute A>
    void set(const A& attribute) {
        setRawValue(attribute.rawValue(), keyOf<A>());
    }
    template <MetadataAttribute A>
    void remove() {
        removeValue(keyOf<A>());
    }

    std::optional<std::int64_t> rawValue(Key key) const noexcept;
    void setRawValue(std::int64_t value, Key key);
    void removeValue(Key key);
    // Every entry of `other` is set here in turn: on a shared key `other` wins.
    void merge(const MetadataValueAttributes& other);
    bool contains(const Entry& entry) const noexcept;

    std::size_t size() const noexcept;
    bool empty() const noexcept { return !inline_.has_value(); }

    // Layout, for callers and tests that care where an entry lives.
    const std::optional<Entry>& inlineEntry() const noexcept { return inline_; }
    // Null when there are no further entries.
    const std::vector<Entry>* overflow() const noexcept { return overflow_.get(); }

    // Same entries, wherever each is held.
    friend bool operator==(const MetadataValueAttributes& a, const MetadataValueAttributes& b);

private:
    template <class A>
    static constexpr char keyTag = 0;

    std::vector<Entry>& mutableOverflow();

    // Absent when the set is empty; overflow_ is null whenever it would be empty.
    std::optional<Entry> inline_;
    std::shared_ptr<std::vector<Entry>> overflow_;
};

}  // namespace logging
