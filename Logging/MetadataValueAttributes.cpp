#include "Logging/MetadataValueAttributes.h"

#include <algorithm>

namespace logging {

std::optional<std::int64_t> MetadataValueAttributes::rawValue(Key key) const noexcept {
    if (inline_ && inline_->key == key) {
        return inline_->value;
    }
    if (overflow_) {
        for (const Entry& entry : *overflow_) {
            if (entry.key == key) {
                return entry.value;
            }
        }
    }
    return std::nullopt;
}

std::vector<MetadataValueAttributes::Entry>& MetadataValueAttributes::mutableOverflow() {
    // Copies share the list; the first change made through one of them gets its own.
    if (overflow_.use_count() > 1) {
        auto copy = std::make_shared<std::vector<Entry>>();
        copy->reserve(overflow_->capacity());
        copy->assign(overflow_->begin(), overflow_->end());
        overflow_ = std::move(copy);
    }
    return *overflow_;
}

void MetadataValueAttributes::setRawValue(std::int64_t value, Key key) {
    if (inline_ && inline_->key == key) {
        inline_->value = value;
        return;
    }
    if (!overflow_) {
        if (!inline_) {
            inline_ = Entry{key, value};
        } else {
            auto list = std::make_shared<std::vector<Entry>>();
            list->reserve(1);
            list->push_back(Entry{key, value});
            overflow_ = std::move(list);
        }
        return;
    }
    for (std::size_t i = 0; i < overflow_->size(); ++i) {
        if ((*overflow_)[i].key == key) {
            mutableOverflow()[i].value = value;
            return;
        }
    }
    if (inline_) {
        mutableOverflow().push_back(Entry{key, value});
    } else {
        inline_ = Entry{key, value};
    }
}

void MetadataValueAttributes::removeValue(Key key) {
    if (inline_ && inline_->key == key) {
        if (!overflow_ || overflow_->empty()) {
            inline_.reset();
            overflow_.reset();
            return;
        }
        std::vector<Entry>& list = mutableOverflow();
        inline_ = list.back();
        list.pop_back();
        if (list.empty()) {
            overflow_.reset();
        }
        return;
    }
    if (!overflow_ || overflow_->empty()) {
        return;
    }
    const auto found = std::find_if(overflow_->begin(), overflow_->end(),
                                    [key](const Entry& entry) { return entry.key == key; });
    if (found == overflow_->end()) {
        return;
    }
    const auto index = found - overflow_->begin();
    std::vector<Entry>& list = mutableOverflow();
    list.erase(list.begin() + index);
    if (list.empty()) {
        overflow_.reset();
    }
}

void MetadataValueAttributes::merge(const MetadataValueAttributes& other) {
    if (other.inline_) {
        setRawValue(other.inline_->value, other.inline_->key);
    }
    if (other.overflow_) {
        // Copied first: `other` may be this set, or share its list.
        const std::vector<Entry> entries = *other.overflow_;
        for (const Entry& entry : entries) {
            setRawValue(entry.value, entry.key);
        }
    }
}

bool MetadataValueAttributes::contains(const Entry& entry) const noexcept {
    if (inline_ && *inline_ == entry) {
        return true;
    }
    return overflow_ && std::find(overflow_->begin(), overflow_->end(), entry) != overflow_->end();
}

std::size_t MetadataValueAttributes::size() const noexcept {
    return (inline_ ? 1 : 0) + (overflow_ ? overflow_->size() : 0);
}

bool operator==(const MetadataValueAttributes& a, const MetadataValueAttributes& b) {
    if (a.size() != b.size()) {
        return false;
    }
    if (a.inline_ && !b.contains(*a.inline_)) {
        return false;
    }
    if (a.overflow_) {
        for (const MetadataValueAttributes::Entry& entry : *a.overflow_) {
            if (!b.contains(entry)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace logging
