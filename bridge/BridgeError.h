// BridgeError: the companion's own failure, one case with a fixed text:
//
//   startupDeadline  "Startup exceeded eight seconds. Check Frameweaver’s Automation Settings and
//                    restart the bridge."  (one line; the apostrophe is U+2019)
//
// Thrown as an exception; all values are equal.
#pragma once

#include <exception>
#include <string_view>

namespace fw::bridge {

class BridgeError : public std::exception {
public:
    static constexpr std::string_view kStartupDeadlineText =
        "Startup exceeded eight seconds. Check Frameweaver\u2019s Automation Settings and restart "
        "the bridge.";

    static BridgeError startupDeadline() { return BridgeError(); }

    std::string_view description() const noexcept { return kStartupDeadlineText; }
    const char* what() const noexcept override { return kStartupDeadlineText.data(); }

    bool operator==(const BridgeError&) const noexcept { return true; }

private:
    BridgeError() = default;
};

}  // namespace fw::bridge
