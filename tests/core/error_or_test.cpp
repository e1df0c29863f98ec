// Errors as values: what a result holds, and how TRY hands an error on.
#include "core.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace tavolex {
namespace {

ErrorOr<int> Half(int value)
{
    if (value % 2 != 0)
        return Error{"odd", static_cast<size_t>(value)};
    return value / 2;
}

// Halves twice through TRY_ASSIGN; the first odd number stops it with that step's error.
ErrorOr<int> Quarter(int value, int& steps)
{
    TRY_ASSIGN(int half, Half(value));
    ++steps;
    TRY_ASSIGN(int quarter, Half(half));
    ++steps;
    return quarter;
}

ErrorOr<void> CheckEven(int value)
{
    TRY(Half(value));
    return {};
}

TEST(ErrorOr, HoldsTheValueOrTheErrorAndTryHandsTheErrorOn)
{
    struct Row {
        int input;
        bool fails;
        int quarter;       // when it does not fail
        std::string error; // when it does
        size_t offset;
        int steps;
    } rows[] = {
        {8, false, 2, "", Error::kNoOffset, 2},
        {6, true, 0, "odd", 3, 1},   // 6 halves to 3, which stops the second step
        {5, true, 0, "odd", 5, 0},   // stopped at once
        {0, false, 0, "", Error::kNoOffset, 2},
    };
    for (const Row& row : rows) {
        int steps = 0;
        ErrorOr<int> result = Quarter(row.input, steps);
        ASSERT_EQ(result.HasError(), row.fails) << row.input;
        EXPECT_EQ(static_cast<bool>(result), !row.fails) << row.input;
        EXPECT_EQ(steps, row.steps) << row.input;
        if (row.fails) {
            EXPECT_EQ(result.GetError().message, row.error) << row.input;
            EXPECT_EQ(result.GetError().offset, row.offset) << row.input;
            EXPECT_TRUE(result.GetError().HasOffset()) << row.input;
        } else {
            EXPECT_EQ(result.Value(), row.quarter) << row.input;
        }
        EXPECT_EQ(CheckEven(row.input).HasError(), row.input % 2 != 0) << row.input;
    }
    EXPECT_FALSE(Error{"no place"}.HasOffset());
}

TEST(ErrorOr, CarriesValuesThatOnlyMove)
{
    ErrorOr<std::unique_ptr<int>> made = std::make_unique<int>(7);
    ASSERT_FALSE(made.HasError());
    std::unique_ptr<int> taken = std::move(made).ReleaseValue();
    ASSERT_TRUE(taken);
    EXPECT_EQ(*taken, 7);
    ErrorOr<std::unique_ptr<int>> failed = Error{"none"};
    EXPECT_EQ(std::move(failed).ReleaseError().message, "none");
}

} // namespace
} // namespace tavolex
