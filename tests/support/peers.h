// The real peers the set-up provides for the tests (`make test` installs or unpacks them).
// A test that cannot have one says why in its output. Where VANTRO_REQUIRE_PEERS is set (CI)
// a missing peer fails the test instead of skipping it, so that a set-up that lost a
// package is seen rather than passed over.
#pragma once

#include <gtest/gtest.h>
#include <string>

namespace testsupport {

bool PeersRequired();

// Debian's exim, unpacked into the build (scripts/unpack-exim.sh), never the system's MTA.
std::string EximBinary();
// What lends that exim its user without adding one to the system (an LD_PRELOAD library).
std::string EximUserShim();

} // namespace testsupport

// Ends the test when `available` is false: a failure where peers are required, else a skip,
// each with `why`.
#define VANTRO_NEED_PEER(available, why)                                                           \
    do {                                                                                           \
        if (!(available)) {                                                                        \
            if (testsupport::PeersRequired()) FAIL() << "missing peer: " << why;                   \
            GTEST_SKIP() << why;                                                                   \
        }                                                                                          \
    } while (false)
