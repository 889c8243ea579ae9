#pragma once

#include <gtest/gtest.h>

#include <string>

namespace zvui::test {

// Names a table row after its `name` member, so a failing row reads as what it checks.
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
    return std::string(row.param.name);
  }
};

}  // namespace zvui::test
