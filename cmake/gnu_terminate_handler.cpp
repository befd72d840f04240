// Linked into the MinGW builds of the Windows programs only. GCC's default
// handler for an uncaught exception prints the exception's demangled type,
// which links the whole demangler (37 KB) into a program that has no console
// to print to. The process ends as before: std::bad_alloc from a port list
// that cannot grow still terminates it, through abort().
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::abort();
}

}  // namespace __gnu_cxx
