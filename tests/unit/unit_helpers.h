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

// The whole of the file at path; fails the test when it cannot be read.
inline std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The whole of tests/unit/data/name.
inline std::string unit_data(const std::string& name) {
    return file_text(std::string(TARNHOP_UNIT_DATA) + "/" + name);
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
