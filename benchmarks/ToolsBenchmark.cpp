// The automation tools' main-thread time: "inspect_sequence" over a folder of 10,000 image
// files (the most one inspection lists), with the default page of 100 and the largest page of
// 500. Each iteration is one tool call as the "tools/call" handler makes it on the Qt main
// thread: listing, sorting, examining the page and encoding the result twice.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <filesystem>
#include <memory>
#include <string>

#include "app/coordinator/ExportCoordinator.h"
#include "app/folders/FileAccessManager.h"
#include "app/tools/MovieMCPTools.h"
#include "platform/AccessGrants.h"
#include "platform/SecurityScopedAccess.h"
#include "platform/UserDefaults.h"

namespace {

namespace fs = std::filesystem;

// A folder of 10,000 empty "frame<n>.png" files, authorized in a store of its own.
struct Folder {
    Folder() {
        std::string pattern = (fs::temp_directory_path() / "fw-tools-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        dir = pattern;
        fs::create_directories(dir / "Frames");
        for (int index = 0; index < 10'000; ++index) {
            const int fd = ::open((dir / "Frames" / ("frame" + std::to_string(index) + ".png")).c_str(),
                                  O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            ::close(fd);
        }
        defaults = std::make_unique<fw::platform::UserDefaults>(dir / "Defaults.plist");
        fw::FileAccessManager::Options options;
        options.defaults = defaults.get();
        options.access = std::make_shared<fw::platform::SecurityScopedAccess>(&grants);
        options.log = [](std::string_view) {};
        files = std::make_unique<fw::FileAccessManager>(std::move(options));
        auto folder = files->authorize(dir / "Frames", false);
        if (!folder) {
            std::abort();
        }
        id = folder.value().idString();
        coordinator = std::make_unique<fw::ExportCoordinator>(
            fw::ExportCoordinator::Options{files.get()});
    }
    ~Folder() {
        coordinator.reset();
        files.reset();
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path dir;
    std::string id;
    fw::platform::AccessGrants grants;
    std::unique_ptr<fw::platform::UserDefaults> defaults;
    std::unique_ptr<fw::FileAccessManager> files;
    std::unique_ptr<fw::ExportCoordinator> coordinator;
};

void BM_InspectSequence10000(benchmark::State& state) {
    static Folder folder;
    const fw::MovieMCPTools::Services services{folder.coordinator.get(), folder.files.get()};
    mcp::Object arguments;
    arguments.insertOrAssign("folder_id", folder.id);
    arguments.insertOrAssign("limit", state.range(0));
    for (auto _ : state) {
        auto result = fw::MovieMCPTools::callTool("inspect_sequence", arguments, services);
        if (result.isError != false) {
            state.SkipWithError("the inspection failed");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_InspectSequence10000)->Arg(100)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
