// The unit tests' data files: expected texts kept beside the tests in tests/unit/data.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

// The whole of tests/unit/data/name; fails the test when the file cannot be read.
inline std::string unit_data(const std::string& name) {
    std::ifstream in(std::string(TARNHOP_UNIT_DATA) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read tests/unit/data/" << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
