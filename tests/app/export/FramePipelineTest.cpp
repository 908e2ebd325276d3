#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "app/export/FramePipeline.h"

namespace fw {
namespace {

using platform::Error;
using platform::PixelBuffer;
using platform::PixelFormat;

Error frameError(std::size_t index) {
    return Error(platform::kFrameweaverErrorDomain, 1, "frame " + std::to_string(index));
}

// Stages over small real buffers that record what the pipeline does with them.
struct Recorder {
    std::atomic<int> outstanding{0};  // acquired and not yet consumed
    std::atomic<int> peakOutstanding{0};
    std::mutex mutex;
    std::vector<std::size_t> consumed;  // guarded by mutex
    std::atomic<bool> cancel{false};

    FramePipelineStages stages() {
        FramePipelineStages s;
        s.acquire = [this](Error&) {
            const int now = ++outstanding;
            int peak = peakOutstanding.load();
            while (now > peak && !peakOutstanding.compare_exchange_weak(peak, now)) {
            }
            return PixelBuffer::allocate(PixelFormat::k420v, 4, 4);
        };
        s.render = [](std::size_t, std::size_t index, PixelBuffer& buffer) {
            // Later frames finish sooner, so they overtake earlier ones.
            std::this_thread::sleep_for(std::chrono::microseconds(200 * ((index * 7) % 5)));
            buffer.planes[0][0] = static_cast<std::uint8_t>(index);
            return std::optional<Error>{};
        };
        s.consume = [this](std::size_t index, std::shared_ptr<PixelBuffer> buffer) {
            EXPECT_EQ(buffer->planes[0][0], static_cast<std::uint8_t>(index));
            std::lock_guard lock(mutex);
            consumed.push_back(index);
            --outstanding;
            return std::optional<Error>{};
        };
        s.cancelled = [this] { return cancel.load(); };
        return s;
    }
};

TEST(FramePipeline, ConsumesEveryFrameInOrderWithBoundedFramesInFlight) {
    for (std::size_t workers : {1u, 3u, 8u}) {
        Recorder recorder;
        const std::size_t window = workers + 2;
        EXPECT_EQ(FramePipeline::run(200, workers, window, recorder.stages()), std::nullopt);
        ASSERT_EQ(recorder.consumed.size(), 200u);
        for (std::size_t i = 0; i < 200; ++i)
            ASSERT_EQ(recorder.consumed[i], i);
        EXPECT_LE(recorder.peakOutstanding.load(), static_cast<int>(window)) << workers;
    }
}

TEST(FramePipeline, ZeroFramesIsSuccessWithoutWork) {
    Recorder recorder;
    EXPECT_EQ(FramePipeline::run(0, 4, 6, recorder.stages()), std::nullopt);
    EXPECT_EQ(recorder.peakOutstanding.load(), 0);
}

TEST(FramePipeline, ReportsTheEarliestFailingFrameAndConsumesNothingAfterIt) {
    Recorder recorder;
    FramePipelineStages stages = recorder.stages();
    stages.render = [](std::size_t, std::size_t index, PixelBuffer& buffer) {
        if (index == 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));  // fails last
            return std::optional<Error>(frameError(5));
        }
        if (index == 7)
            return std::optional<Error>(frameError(7));
        buffer.planes[0][0] = static_cast<std::uint8_t>(index);
        return std::optional<Error>{};
    };
    const auto error = FramePipeline::run(20, 4, 6, stages);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, "frame 5");
    EXPECT_EQ(recorder.consumed, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

TEST(FramePipeline, StopsAtAFailureOfTheConsumerOrOfAcquiring) {
    Recorder recorder;
    FramePipelineStages stages = recorder.stages();
    stages.consume = [](std::size_t index, std::shared_ptr<PixelBuffer>) {
        return index == 3 ? std::optional<Error>(frameError(3)) : std::nullopt;
    };
    auto error = FramePipeline::run(50, 4, 6, stages);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, "frame 3");

    stages = recorder.stages();
    stages.acquire = [](Error& error) -> std::shared_ptr<PixelBuffer> {
        error = Error(platform::kFrameweaverErrorDomain, 1,
                      "A movie frame buffer could not be allocated.");
        return nullptr;
    };
    error = FramePipeline::run(50, 4, 6, stages);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->description, "A movie frame buffer could not be allocated.");
}

TEST(FramePipeline, CancellationEndsPromptlyAsUserCancelled) {
    Recorder recorder;
    FramePipelineStages stages = recorder.stages();
    std::atomic<std::size_t> rendered{0};
    stages.render = [&](std::size_t, std::size_t index, PixelBuffer& buffer) {
        buffer.planes[0][0] = static_cast<std::uint8_t>(index);
        if (++rendered == 10)
            recorder.cancel = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return std::optional<Error>{};
    };
    const auto error = FramePipeline::run(100000, 4, 6, stages);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->isUserCancelled());
    EXPECT_LT(rendered.load(), 40u);
}

}  // namespace
}  // namespace fw
