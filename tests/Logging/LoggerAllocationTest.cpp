// Counts heap allocations made by log calls whose level is below the handler's: there must be
// none. This program replaces the global allocation functions, so it is kept apart from the other
// tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "Logging/Logger.h"
#include "Logging/NoOpLogHandler.h"
#include "tests/Logging/RecordingLogHandler.h"

// The replacements below pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<long> gAllocations{0};
thread_local bool tCounting = false;

void* allocate(std::size_t size, std::size_t alignment) {
    if (tCounting) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (size == 0) {
        size = 1;
    }
    void* p = alignment <= alignof(std::max_align_t)
                  ? std::malloc(size)
                  : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    return p;
}

// Counts allocations on this thread while alive.
class CountAllocations {
public:
    CountAllocations() {
        gAllocations = 0;
        tCounting = true;
    }
    ~CountAllocations() { tCounting = false; }
    long count() const { return gAllocations.load(); }
};

}  // namespace

// Every replaceable form, so that each allocation and release meet the same allocator.
void* operator new(std::size_t size) {
    if (void* p = allocate(size, 0)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void* operator new(std::size_t size, std::align_val_t al) {
    if (void* p = allocate(size, static_cast<std::size_t>(al))) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t al) {
    return ::operator new(size, al);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(al));
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(al));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace logging {
namespace {

TEST(LoggerAllocation, EntryBelowTheLevelAllocatesNothing) {
    const Logger logger("allocation", testing::RecordingLogHandler(Level::info));
    const Logger quiet("quiet", NoOpLogHandler());
    const std::string longText(500, 'x');
    const std::runtime_error error("a failure whose text is far too long for small strings");
    long count = 0;
    {
        CountAllocations counter;
        logger.debug("a literal message that is longer than any small-string buffer");
        logger.debug(longText);
        logger.trace([&] { return longText + longText; });
        logger.debug("with metadata", [&] {
            return Metadata{{"key", MetadataValue(longText)},
                            {"list", MetadataValue::array({"a"})}};
        });
        logger.debug(
            "with error", error,
            [&] {
                return Metadata{{"k", "v"}};
            },
            [&] { return std::string(longText); });
        logger.log(
            Level::debug, [&] { return longText; }, std::make_error_code(std::errc::io_error));
        quiet.error("dropped by the no-op handler", error);
        count = counter.count();
    }
    EXPECT_EQ(count, 0);
}

TEST(LoggerAllocation, CounterSeesAnEntryThatPasses) {
    const Logger logger("allocation", testing::RecordingLogHandler(Level::info));
    long count = 0;
    {
        CountAllocations counter;
        logger.info([] { return std::string(500, 'x'); });
        count = counter.count();
    }
    EXPECT_GT(count, 0);
}

}  // namespace
}  // namespace logging
