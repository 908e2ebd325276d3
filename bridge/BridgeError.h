// BridgeError: the companion's own failures, each with a fixed text (one line; apostrophes are
// U+2019):
//
//   startupDeadline  "Startup exceeded eight seconds. Check Frameweaver’s Automation Settings and
//                    restart the bridge."
//   connectionLimit  the application already serves as many automation connections as it takes
//   bridgeRefused    the application refused this companion's code signature
//
// Thrown as an exception; values of the same case are equal.
#pragma once

#include <exception>
#include <string_view>

namespace fw::bridge {

class BridgeError : public std::exception {
public:
    enum class Kind { startupDeadline, connectionLimit, bridgeRefused };

    static constexpr std::string_view kStartupDeadlineText =
        "Startup exceeded eight seconds. Check Frameweaver\u2019s Automation Settings and restart "
        "the bridge.";
    static constexpr std::string_view kConnectionLimitText =
        "Frameweaver already serves as many automation connections as it takes (16). Close "
        "another AI client\u2019s connection to Frameweaver and restart the bridge.";
    static constexpr std::string_view kBridgeRefusedText =
        "Frameweaver refused this bridge because its code signature is not valid for this "
        "installation. Reinstall Frameweaver and restart the bridge.";

    static BridgeError startupDeadline() { return BridgeError(Kind::startupDeadline); }
    static BridgeError connectionLimit() { return BridgeError(Kind::connectionLimit); }
    static BridgeError bridgeRefused() { return BridgeError(Kind::bridgeRefused); }

    Kind kind() const noexcept { return kind_; }
    std::string_view description() const noexcept {
        switch (kind_) {
            case Kind::connectionLimit:
                return kConnectionLimitText;
            case Kind::bridgeRefused:
                return kBridgeRefusedText;
            case Kind::startupDeadline:
                break;
        }
        return kStartupDeadlineText;
    }
    // The texts are literals: their bytes are followed by a NUL.
    const char* what() const noexcept override { return description().data(); }

    bool operator==(const BridgeError& other) const noexcept { return kind_ == other.kind_; }

private:
    explicit BridgeError(Kind kind) : kind_(kind) {}
    Kind kind_;
};

}  // namespace fw::bridge
