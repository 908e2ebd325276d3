#include "app/tools/NaturalOrder.h"

#include <cstddef>

namespace fw {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

unsigned char folded(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

// The digit run of `text` that starts at `index`, without its leading zeros; moves `index`
// past the whole run.
std::string_view digitRun(std::string_view text, std::size_t& index) {
    std::size_t start = index;
    while (index < text.size() && isDigit(text[index])) {
        ++index;
    }
    while (start + 1 < index && text[start] == '0') {
        ++start;
    }
    return text.substr(start, index - start);
}

}  // namespace

int compareNaturally(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const std::string_view left = digitRun(a, i);
            const std::string_view right = digitRun(b, j);
            // Without leading zeros, the longer run is the larger number.
            if (left.size() != right.size()) {
                return left.size() < right.size() ? -1 : 1;
            }
            if (const int order = left.compare(right); order != 0) {
                return order < 0 ? -1 : 1;
            }
            continue;
        }
        const unsigned char left = folded(a[i]);
        const unsigned char right = folded(b[j]);
        if (left != right) {
            return left < right ? -1 : 1;
        }
        ++i;
        ++j;
    }
    const bool aDone = i == a.size();
    const bool bDone = j == b.size();
    if (aDone && bDone) {
        return 0;
    }
    return aDone ? -1 : 1;
}

bool areInSequenceOrder(std::string_view a, std::string_view b) {
    const int order = compareNaturally(a, b);
    if (order != 0) {
        return order < 0;
    }
    return a < b;
}

}  // namespace fw
