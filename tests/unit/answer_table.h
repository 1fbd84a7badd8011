// Tables for the tests of the answer readers: a row per case, what arrives and the reading
// it must give (as text), all checked by one loop that names the row that fails. Rows of
// bytes live in a data file of tests/unit/data, a section per test:
//   [Suite.Test]
//   row name: the reading expected
//     the bytes that arrive, in hex, on any number of indented lines
// Lines starting with # are comments.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/packets.h"
#include "unit_helpers.h"

namespace packet {

template <typename Input>
struct Row {
    std::string name;
    Input input;
    std::string expected;
};

// The rows of one section of a data file in tests/unit/data, in file order.
inline std::vector<Row<Bytes>> rows_of(const std::string& file, const std::string& section) {
    std::istringstream in(unit_data(file));
    std::vector<Row<Bytes>> rows;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        } else if (line[0] == '[') {
            inside = line == "[" + section + "]";
        } else if (inside && line[0] != ' ') {
            size_t colon = line.find(": ");
            rows.push_back({line.substr(0, colon), {}, line.substr(colon + 2)});
        } else if (inside && !rows.empty()) {
            std::istringstream hex(line);
            for (unsigned byte; hex >> std::hex >> byte;)
                rows.back().input.push_back(static_cast<uint8_t>(byte));
        }
    }
    return rows;
}

// The bytes of the row called name in a section of a data file; throws when there is none.
inline Bytes row_bytes(const std::string& file, const std::string& section,
                       const std::string& name) {
    for (const Row<Bytes>& row : rows_of(file, section)) {
        if (row.name == name)
            return row.input;
    }
    throw std::out_of_range(name + " in [" + section + "] of " + file);
}

// The full name of the running test, Suite.Test.
inline std::string this_test() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->test_suite_name()) + "." + test->name();
}

template <typename Input>
struct AnswerTable {
    // Reads every row's input and expects the row's reading.
    void expect(std::initializer_list<Row<Input>> rows) const {
        for (const Row<Input>& row : rows)
            EXPECT_EQ(read(row.input), row.expected) << row.name;
    }

    // The same for the rows of a section of a data file (by default the running test's),
    // each read from a copy of exactly its size so that a read past it is caught by the
    // sanitizers.
    void expect_file(const std::string& file, const std::string& section = this_test()) const {
        std::vector<Row<Bytes>> rows = rows_of(file, section);
        ASSERT_FALSE(rows.empty()) << "no rows in [" << section << "] of " << file;
        for (const Row<Bytes>& row : rows)
            EXPECT_EQ(read(first(row.input, row.input.size())), row.expected) << row.name;
    }

    std::string (*read)(const Input&);  // what a reader makes of one arrival
};

}  // namespace packet
