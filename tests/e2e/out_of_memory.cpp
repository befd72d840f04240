// Runs out of memory while a port list grows, as the window would on a
// machine that cannot hold its list. Linked exactly as the shipped programs
// are, so the end-to-end tests can see that the process still ends.
#include <cstdint>
#include <cstdio>
#include <vector>

int main() {
    std::vector<std::int32_t> list;
    std::puts("growing");
    std::fflush(stdout);
    list.reserve(list.max_size());  // more than any address space holds
    std::puts("still running");
    return 0;
}
