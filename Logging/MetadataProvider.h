// Supplies metadata that a handler adds to every entry it writes, such as a request identifier
// read from the current context.
//
// A plain value; the function it holds may be called from any thread at any time, so it must be
// safe to call concurrently.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "Logging/MetadataValue.h"

namespace logging {

class MetadataProvider {
public:
    using Function = std::function<Metadata()>;

    explicit MetadataProvider(Function provideMetadata)
        : provideMetadata_(std::move(provideMetadata)) {}

    Metadata get() const { return provideMetadata_ ? provideMetadata_() : Metadata{}; }

    // One provider that calls each of `providers` in order and merges their results, a later
    // provider winning on a key both give; an empty list gives empty metadata.
    static MetadataProvider multiplex(std::vector<MetadataProvider> providers);

private:
    Function provideMetadata_;
};

}  // namespace logging
