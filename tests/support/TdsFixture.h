#pragma once
// A GoogleTest fixture for tests that talk to the stand-in server: each test
// starts from the stand-in's start-up state with its own users, databases and
// drives, and the ODBC driver pointed at it. Tests using it need the ctest
// fixture "tds" (bakwyn_add_tds_test in tests/support/CMakeLists.txt).
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/TdsStandIn.h"

namespace bakwyn::test {

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standIn_ = std::make_unique<TdsStandIn>();
    standIn_->reset();
    const std::string problem = PointDriverAtStandIn(standIn_->tdsPort());
    ASSERT_EQ(problem, "");
  }

  TdsStandIn& standIn() { return *standIn_; }

 private:
  std::unique_ptr<TdsStandIn> standIn_;
};

}  // namespace bakwyn::test
