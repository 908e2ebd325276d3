// FramePipeline: renders the frames of one export on a pool of worker threads and hands
// them, strictly in frame order, to one consumer (the encoder) on the calling thread.
//
// At most `window` frames are in flight at any moment (claimed by a worker, rendered and
// waiting, or being consumed), so memory stays flat however many frames the export has.
// Each worker keeps its own index, so a caller can give every worker its own renderer
// (renderers are single-threaded). `run` blocks until every frame has been consumed, a
// stage failed, or the export was cancelled; it joins all its threads before returning.
//
// Thread-safety: `acquire` and `cancelled` are called from every worker and from the
// consumer at once and must be thread-safe; `render` is called concurrently, but never
// twice at the same time with the same worker index; `consume` runs on the calling thread
// only, in frame order.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "platform/Error.h"
#include "platform/PixelBuffer.h"

namespace fw {

struct FramePipelineStages {
    // Hands out an empty frame buffer, or sets the error and returns null.
    std::function<std::shared_ptr<platform::PixelBuffer>(platform::Error& error)> acquire;
    // Renders frame `index` into `buffer` with the renderer of `worker`.
    std::function<std::optional<platform::Error>(std::size_t worker, std::size_t index,
                                                 platform::PixelBuffer& buffer)>
        render;
    // Takes frame `index` (called for 0, 1, 2, ... in turn).
    std::function<std::optional<platform::Error>(std::size_t index,
                                                 std::shared_ptr<platform::PixelBuffer> buffer)>
        consume;
    // True once the export should stop; the pipeline then ends with `cancellation`.
    std::function<bool()> cancelled;
};

class FramePipeline {
public:
    // Runs frames 0 ..< frameCount through the stages. `workers` and `window` are at least 1.
    // Returns nothing when every frame was consumed; the error of the earliest failing frame
    // when a stage failed (a later frame's failure is not reported while an earlier frame
    // can still fail); `platform::Error::userCancelled()` when `cancelled` turned true first.
    static std::optional<platform::Error> run(std::size_t frameCount, std::size_t workers,
                                              std::size_t window,
                                              const FramePipelineStages& stages);

    // The worker count and window the export engine uses on this machine.
    static std::size_t defaultWorkerCount();
    static std::size_t defaultWindow(std::size_t workers);
};

}  // namespace fw
