#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "core/dependency_container.h"
#include "support/test_current_date_provider.h"

namespace skald::test {

/// A fresh shared-service container whose clock only moves when the test says so.
class TestClockFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        DependencyContainer::reset();
        DependencyContainer::sharedInstance()->setDateProvider(clock);
    }
    void TearDown() override { DependencyContainer::reset(); }

    std::shared_ptr<TestCurrentDateProvider> clock = std::make_shared<TestCurrentDateProvider>();
};

}  // namespace skald::test
