// Readable names for table-driven cases: each case's "what", made an identifier.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    std::string name;
    for (const char* c = info.param.what; *c != 0; ++c) {
      name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    }
    return name;
  }
};
