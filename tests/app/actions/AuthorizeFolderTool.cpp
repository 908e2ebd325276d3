// Test tool: authorizes a folder in the standard user defaults, as the Automation Settings
// window would, and prints its identifier. Usage: authorize_folder PATH (read-write|read-only)
#include <cstdio>
#include <cstring>

#include "app/folders/FileAccessManager.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PATH read-write|read-only\n", argv[0]);
        return 2;
    }
    const bool writable = std::strcmp(argv[2], "read-write") == 0;
    auto folder = fw::FileAccessManager::shared().authorize(argv[1], writable);
    if (!folder) {
        std::fprintf(stderr, "%s\n", folder.error().description.c_str());
        return 1;
    }
    std::printf("%s\n", folder.value().idString().c_str());
    return 0;
}
