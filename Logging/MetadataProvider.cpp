#include "Logging/MetadataProvider.h"

namespace logging {

MetadataProvider MetadataProvider::multiplex(std::vector<MetadataProvider> providers) {
    return MetadataProvider([providers = std::move(providers)] {
        Metadata merged;
        for (const MetadataProvider& provider : providers) {
            Metadata provided = provider.get();
            for (auto& [key, value] : provided) {
                merged.insert_or_assign(key, std::move(value));
            }
        }
        return merged;
    });
}

}  // namespace logging
