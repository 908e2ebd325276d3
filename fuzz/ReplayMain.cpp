// Runs a fuzz harness once on each file named on the command line, and on each file of each
// directory named there (not recursing), in name order: the seed corpus as a test, without
// libFuzzer. Reports what it ran; a failed check in the harness aborts, as under libFuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path path = argv[i];
        std::error_code error;
        if (fs::is_directory(path, error)) {
            for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else if (fs::is_regular_file(path, error)) {
            inputs.push_back(path);
        } else {
            std::fprintf(stderr, "%s is neither a file nor a folder.\n", path.c_str());
            return 1;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "No inputs were given.\n");
        return 1;
    }
    for (const fs::path& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                      std::istreambuf_iterator<char>()};
        if (!file.good() && !file.eof()) {
            std::fprintf(stderr, "%s could not be read.\n", path.c_str());
            return 1;
        }
        std::fprintf(stderr, "Running %s (%zu bytes)\n", path.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("Ran %zu inputs.\n", inputs.size());
    return 0;
}
