#include <cstdio>

int main() {
    std::fputs("frameweaver-mcp is not part of this build yet.\n", stderr);
    return 1;
}
