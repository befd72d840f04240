#include "sender/service_link.h"

// No service runs on Windows: the sender always opens the port itself.
namespace ServiceLink {

bool Connect(const std::string&, int*) {
    return false;
}

Read Ask(int, const std::string&, std::string*) {
    return Read::Failed;
}

void Close(int) {}

}  // namespace ServiceLink
