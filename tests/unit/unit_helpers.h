// Helpers of several unit tests: their data files (expected texts kept beside the tests in
// tests/unit/data) and what a piece of code prints.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

// The whole of tests/unit/data/name; fails the test when the file cannot be read.
inline std::string unit_data(const std::string& name) {
    std::ifstream in(std::string(TARNHOP_UNIT_DATA) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read tests/unit/data/" << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of tests/unit/data/name, each cut into its tab-separated fields.
inline std::vector<std::vector<std::string>> unit_data_rows(const std::string& name) {
    std::istringstream lines(unit_data(name));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        rows.emplace_back();
        for (std::string field; std::getline(fields, field, '\t');)
            rows.back().push_back(field);
    }
    return rows;
}

// What print() writes to standard output.
template <typename Print>
std::string captured(Print print) {
    testing::internal::CaptureStdout();
    print();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
