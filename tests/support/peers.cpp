#include "tests/support/peers.h"

#include <cstdlib>

namespace testsupport {

bool PeersRequired() {
    const char* required = std::getenv("VANTRO_REQUIRE_PEERS");
    return required && *required && std::string(required) != "0";
}

std::string EximBinary() {
    return VANTRO_EXIM_BINARY;
}

std::string EximUserShim() {
    return VANTRO_EXIM_USER_SHIM;
}

} // namespace testsupport
