// The discovery tests send and answer real mDNS. They run only inside the
// private network namespaces of scripts/netns: started any other way, the
// binary runs itself again through it.
#include <gtest/gtest.h>
#include <signal.h>

#include "discovery_support.hpp"

int main(int argc, char** argv) {
    if (const auto status = tq::testing::enter_private_network(argc, argv)) return *status;
    ::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
