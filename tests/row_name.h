#ifndef SCRIPT_MENU_TESTS_ROW_NAME_H
#define SCRIPT_MENU_TESTS_ROW_NAME_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

// A test's name made of its row's `name`: letters and digits as they are, anything else '_'.
struct RowName {
  template <typename Row>
  std::string operator()(const testing::TestParamInfo<Row> &info) const {
    std::string name = info.param.name;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return std::isalnum(c) == 0; }, '_');
    return name;
  }
};

#endif
