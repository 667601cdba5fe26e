#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "error/ocr_error.h"

namespace tarnwick {
namespace {

struct DescribeCase {
  const char* name;
  PlatformError error;
  std::string expected;
  friend void PrintTo(const DescribeCase& c, std::ostream* os) { *os << c.name; }
};

class DescribeErrorTest : public ::testing::TestWithParam<DescribeCase> {};

TEST_P(DescribeErrorTest, FormatsOrFallsBackToThePlainDescription) {
  EXPECT_EQ(describeError(GetParam().error), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, DescribeErrorTest,
    ::testing::Values(
        DescribeCase{"plain_when_no_domain_and_zero", {"", 0, "ignored", "plain words"}, "plain words"},
        DescribeCase{"empty_domain_nonzero_code", {"", 7, "Seven.", "plain"}, " code=7 Seven."},
        DescribeCase{"domain_with_zero_code", {"d", 0, "Zero.", "plain"}, "d code=0 Zero."},
        DescribeCase{"blank_domain_is_not_empty", {" ", 0, "x", "plain"}, "  code=0 x"},
        DescribeCase{"negative_code", {"d", -42, "x", ""}, "d code=-42 x"},
        DescribeCase{"lowest_code", {"d", std::numeric_limits<std::int64_t>::min(), "x", ""},
                     "d code=-9223372036854775808 x"},
        DescribeCase{"highest_code", {"d", std::numeric_limits<std::int64_t>::max(), "x", ""},
                     "d code=9223372036854775807 x"},
        DescribeCase{"empty_localized_description", {"d", 3, "", ""}, "d code=3 "},
        DescribeCase{"copied_unchanged", {"a\n\"b\"", 1, "c\n\"d\"", ""}, "a\n\"b\" code=1 c\n\"d\""}),
    [](const auto& info) { return info.param.name; });

TEST(DescribeError, OurErrorsUseTheirCasePositionAsCode) {
  const std::string prefix = "tarnwick.OcrError code=";
  EXPECT_EQ(describeError(OcrError::loadFailed("m")).rfind(prefix + "0 ", 0), 0U);
  EXPECT_EQ(describeError(OcrError::visionFailed("m")).rfind(prefix + "1 ", 0), 0U);
  EXPECT_EQ(describeError(OcrError::usage()).rfind(prefix + "2 ", 0), 0U);
}

TEST(DescribeError, ForeignExceptionsGiveTheirOwnWords) {
  EXPECT_EQ(describeError(std::make_exception_ptr(std::runtime_error("disk on fire"))), "disk on fire");
  EXPECT_EQ(describeError(std::make_exception_ptr(PlatformError{"p", 5, "Five.", ""})), "p code=5 Five.");
  EXPECT_EQ(describeError(std::make_exception_ptr(OcrError::usage())), describeError(OcrError::usage()));
}

}  // namespace
}  // namespace tarnwick
