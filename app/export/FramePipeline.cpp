#include "app/export/FramePipeline.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace fw {

namespace {

using platform::Error;
using platform::PixelBuffer;

// How often a waiting thread looks at the cancel test: a cancel arrives from outside and
// wakes nobody, so waits are bounded by this.
constexpr auto kCancelPollInterval = std::chrono::milliseconds(10);

constexpr std::size_t kNoFailure = std::numeric_limits<std::size_t>::max();

struct Slot {
    bool ready = false;
    std::shared_ptr<PixelBuffer> buffer;
    std::optional<Error> error;
};

class Run {
public:
    Run(std::size_t frameCount, std::size_t window, const FramePipelineStages& stages)
        : frameCount_(frameCount), window_(window), stages_(stages), slots_(window) {}

    void work(std::size_t worker) {
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock lock(mutex_);
                for (;;) {
                    if (stop_ || next_ >= frameCount_ || next_ > failedAt_)
                        return;
                    if (next_ < consumed_ + window_)
                        break;
                    spaceFreed_.wait_for(lock, kCancelPollInterval);
                    if (stages_.cancelled()) {
                        stopLocked();
                        return;
                    }
                }
                index = next_++;
            }
            Slot result = produce(worker, index);
            std::lock_guard lock(mutex_);
            if (result.error)
                failedAt_ = std::min(failedAt_, index);
            slots_[index % window_] = std::move(result);
            slots_[index % window_].ready = true;
            frameReady_.notify_all();
        }
    }

    std::optional<Error> consumeAll() {
        for (std::size_t index = 0; index < frameCount_; ++index) {
            Slot slot;
            {
                std::unique_lock lock(mutex_);
                for (;;) {
                    if (stages_.cancelled()) {
                        stopLocked();
                        return Error::userCancelled();
                    }
                    if (slots_[index % window_].ready)
                        break;
                    if (stop_)
                        return Error::userCancelled();
                    frameReady_.wait_for(lock, kCancelPollInterval);
                }
                slot = std::move(slots_[index % window_]);
                slots_[index % window_] = Slot{};
            }
            if (slot.error)
                return fail(std::move(*slot.error));
            if (auto error = stages_.consume(index, std::move(slot.buffer))) {
                return fail(std::move(*error));
            }
            std::lock_guard lock(mutex_);
            ++consumed_;
            spaceFreed_.notify_all();
        }
        return std::nullopt;
    }

    void stop() {
        std::lock_guard lock(mutex_);
        stopLocked();
    }

private:
    Slot produce(std::size_t worker, std::size_t index) {
        Slot slot;
        if (stages_.cancelled()) {
            slot.error = Error::userCancelled();
            return slot;
        }
        Error acquireError;
        slot.buffer = stages_.acquire(acquireError);
        if (!slot.buffer) {
            slot.error = std::move(acquireError);
            return slot;
        }
        if (auto error = stages_.render(worker, index, *slot.buffer)) {
            slot.buffer.reset();
            slot.error = std::move(error);
        }
        return slot;
    }

    std::optional<Error> fail(Error error) {
        stop();
        return error;
    }

    void stopLocked() {
        stop_ = true;
        spaceFreed_.notify_all();
        frameReady_.notify_all();
    }

    const std::size_t frameCount_;
    const std::size_t window_;
    const FramePipelineStages& stages_;

    std::mutex mutex_;
    std::condition_variable spaceFreed_;  // a frame was consumed, or the run stops
    std::condition_variable frameReady_;  // a frame was rendered, or the run stops
    // State below is protected by mutex_.
    std::vector<Slot> slots_;            // frame i waits in slots_[i % window_]
    std::size_t next_ = 0;               // the next frame a worker claims
    std::size_t consumed_ = 0;           // frames handed to the consumer
    std::size_t failedAt_ = kNoFailure;  // earliest frame whose rendering failed
    bool stop_ = false;
};

}  // namespace

std::optional<Error> FramePipeline::run(std::size_t frameCount, std::size_t workers,
                                        std::size_t window, const FramePipelineStages& stages) {
    if (frameCount == 0)
        return std::nullopt;
    workers = std::clamp<std::size_t>(workers, 1, frameCount);
    window = std::max<std::size_t>(window, 1);
    Run run(frameCount, window, stages);
    std::optional<Error> result;
    {
        std::vector<std::jthread> threads;
        threads.reserve(workers);
        for (std::size_t worker = 0; worker < workers; ++worker) {
            threads.emplace_back([&run, worker] { run.work(worker); });
        }
        result = run.consumeAll();
        run.stop();
    }  // joins the workers
    return result;
}

// Each worker holds its frame's source while rendering it (a plain PNG is inflated whole:
// some 60 MB for a 12-megapixel RGB image with its compressed data; a plain JPEG holds its
// file and one row; other formats stream in strips) and its frame buffer, while the encoder
// runs threads of its own on every core. Measured on 8 cores with 120 photos of 4000 × 3000
// into 1080p: 5 workers keep H.264 within 1.3 (JPEG) and 1.9 (PNG) times the encoder's own
// time; one worker per core brought PNG to 1.6 times but put JPEG into ProRes above the
// ffmpeg command's peak memory (275 against 248 MB). Hence five eighths of the cores, at
// least 2.
//
// The cores are those this process may run on (its affinity), not all the machine has: under
// a container's or taskset's limit, workers beyond those only add memory.
std::size_t FramePipeline::defaultWorkerCount() {
    std::size_t cores = std::thread::hardware_concurrency();
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        cores = std::size_t(CPU_COUNT(&allowed));
    return std::max<std::size_t>(2, cores * 5 / 8);
}

// One frame in flight per worker: the encoder takes a finished frame while the others
// render, and a frame waiting for its turn is what a spare slot would add to memory.
std::size_t FramePipeline::defaultWindow(std::size_t workers) {
    return workers;
}

}  // namespace fw
