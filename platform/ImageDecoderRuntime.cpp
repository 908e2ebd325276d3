#include "platform/ImageDecoderRuntime.h"

#include <vips/vips.h>

#include <cstdlib>
#include <mutex>

namespace fw::platform {

void ensureVipsRuntime() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (VIPS_INIT("frameweaver") != 0)
            std::abort();
        // Results keyed by file name must never be reused: files are read through
        // descriptors whose numbers come back for other files.
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
        vips_cache_set_max_files(0);
        // Frames are decoded on many threads at once already; one worker per decode
        // keeps the decoder from starting a thread pool for every image.
        vips_concurrency_set(1);
        // Damaged files are ordinary input and are reported as errors; keep the
        // decoder's own warnings about them off standard error.
        g_log_set_handler(
            "VIPS", G_LOG_LEVEL_WARNING,
            [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    });
}

std::string takeVipsErrorText() {
    char* text = vips_error_buffer_copy();
    std::string result = text != nullptr ? text : "";
    g_free(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == ' '))
        result.pop_back();
    for (char& c : result) {
        if (c == '\n')
            c = ' ';
    }
    return result;
}

}  // namespace fw::platform
