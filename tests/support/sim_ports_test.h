// A fixture base for tests that run kmt-sim on COM ports of their own: a folder of each test's for
// the ports (MOVRA_PORTS) and one of the program's for the port mutex (MOVRA_MUTEX_DIR).
#pragma once

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace movra::test {

template <class Base = ::testing::Test>
class SimPortsTest : public Base {
protected:
    static void SetUpTestSuite() {
        static TempDir mutexFolder;  // lives until the program ends
        ::setenv("MOVRA_MUTEX_DIR", mutexFolder.path().c_str(), 1);
    }
    void SetUp() override { ::setenv("MOVRA_PORTS", ports.path().c_str(), 1); }

    TempDir ports;
};

}  // namespace movra::test
