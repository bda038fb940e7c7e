#pragma once

// The base of the transport's unit tests: a fresh libusb stand-in for every
// test, and no misuse of libusb left behind by any of them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <concepts>
#include <ostream>
#include <string>

#include "tests/doubles/libusb_standin/libusb_standin.h"

namespace korvene::testing {

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override { usb.reset(); }
    void TearDown() override { EXPECT_THAT(usb.misuses(), ::testing::IsEmpty()); }

    LibUsbStandin& usb = LibUsbStandin::instance();
};

template <typename Param>
class StandinTestWithParam : public StandinTest, public ::testing::WithParamInterface<Param> {};

// Prints a table row as its `name`, in test names and failure messages. A
// test file brings it into the namespace of its rows with `using`.
template <typename Row>
    requires requires(const Row& row) {
        { row.name } -> std::convertible_to<const char*>;
    }
std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.name;
}

// Names a parameterised case after the `name` field of its table row.
struct RowName {
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return info.param.name;
    }
};

}  // namespace korvene::testing
