// One line from the companion, as the application's automation socket reads it: the inbound rules
// never crash, and whatever they let through the server reads the same way (fuzz/InboundAgreement.h).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "fuzz/InboundAgreement.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> disagreement = fuzz::inboundDisagreement(line);
    fuzz::check(!disagreement, disagreement ? *disagreement : "", line);
    return 0;
}
