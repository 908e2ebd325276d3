#include <cstdio>

int main() {
    std::fputs("Frameweaver's window is not part of this build yet.\n", stderr);
    return 0;
}
