#include "EventSource/Utf8.h"

#include <cstring>

namespace eventsource {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// The length of the leading run of ASCII bytes, eight at a time where it can.
std::size_t asciiPrefix(const std::uint8_t* bytes, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if (word & 0x8080808080808080ull) {
            break;
        }
    }
    while (i < count && bytes[i] < 0x80) {
        ++i;
    }
    return i;
}

}  // namespace

void appendUtf8Replacing(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    std::size_t i = 0;
    while (i < count) {
        std::size_t run = asciiPrefix(bytes + i, count - i);
        out.append(reinterpret_cast<const char*>(bytes + i), run);
        i += run;
        if (i == count) {
            break;
        }
        std::uint8_t lead = bytes[i];
        int need = 0;
        std::uint8_t lower = 0x80;
        std::uint8_t upper = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead == 0xE0) {
            need = 2;
            lower = 0xA0;
        } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
            need = 2;
        } else if (lead == 0xED) {
            need = 2;
            upper = 0x9F;
        } else if (lead == 0xF0) {
            need = 3;
            lower = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            need = 3;
        } else if (lead == 0xF4) {
            need = 3;
            upper = 0x8F;
        } else {
            out.append(kReplacement, 3);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool wellFormed = true;
        for (int k = 0; k < need; ++k, ++j) {
            if (j >= count || bytes[j] < lower || bytes[j] > upper) {
                wellFormed = false;
                break;
            }
            lower = 0x80;
            upper = 0xBF;
        }
        if (wellFormed) {
            out.append(reinterpret_cast<const char*>(bytes + i), j - i);
        } else {
            out.append(kReplacement, 3);
        }
        i = j;
    }
}

}  // namespace eventsource
