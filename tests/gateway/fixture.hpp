// A test whose processes log into its scratch directory, kept (and named)
// when the test fails.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>

#include "harness.hpp"

namespace vq6120::gateway::test {

class ScratchTest : public ::testing::Test {
protected:
    ~ScratchTest() override {
        if (HasFailure()) {
            dir.keep();
            std::printf("logs kept in %s\n", dir.path().c_str());
        }
    }
    ScratchDir dir;
};

}  // namespace vq6120::gateway::test
