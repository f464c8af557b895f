#include "support.h"
#include "version/constants.h"
#include "version/package_stamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace kestrival::version {
namespace {

// As far east as zones go, so the local date differs from the UTC one for most of the day. A
// POSIX zone rule, so the tests don't depend on an installed time-zone database; set by ctest,
// since the zone is read when a Windows process starts.
constexpr std::string_view kLineIslandsTime = "LINT-14";

std::string local_today() { return format_stamp(testing::local_today()); }

// Today's local date, taken on both sides of the call in case it runs across midnight.
::testing::AssertionResult stamp_is_local_date()
{
    const std::string before = local_today();
    const std::string stamp = make_package_date_stamp();
    return stamp == before || stamp == local_today() ? ::testing::AssertionSuccess()
                                                     : ::testing::AssertionFailure() << stamp << " is not " << before;
}

class PackageStamp : public ::testing::Test {
protected:
    testing::ScratchDir dir_ {testing::any_time_dir()};
    std::filesystem::path previous_ = std::filesystem::current_path();
    void SetUp() override
    {
        const char *zone = std::getenv("TZ");
        ASSERT_EQ(zone != nullptr ? zone : "", kLineIslandsTime) << "run through ctest, which sets the time zone";
        std::filesystem::current_path(testing::native(dir_.path()));
    }
    void TearDown() override { std::filesystem::current_path(previous_); }
};

// A time in seconds, its UTC date as a stamp (empty: not convertible), and the stamp of a
// package file of that time where given ("today": today's local date).
class StampTable : public PackageStamp, public ::testing::WithParamInterface<testing::Row> { };

TEST_P(StampTable, IsTheUtcDateOfThePackagesLastWriteOrTodaysLocalDate)
{
    const std::int64_t seconds = std::stoll(GetParam().file.value());
    const auto date = utc_date_of(seconds);
    EXPECT_EQ(date ? format_stamp(*date) : "", GetParam().second);
    if (GetParam().third.empty())
        return;
    testing::write_file(std::string(kPackageFileName), "package");
    if (!testing::set_last_write(std::string(kPackageFileName), seconds))
        GTEST_SKIP() << "no file on this system can have that time";
    if (GetParam().third == "today")
        EXPECT_TRUE(stamp_is_local_date());
    else
        EXPECT_EQ(make_package_date_stamp(), GetParam().third);
}

INSTANTIATE_TEST_SUITE_P(Tsv, StampTable, ::testing::ValuesIn(testing::load_rows({"stamps.tsv"})),
                         [](const auto &row) { return row.param.name; });

TEST_F(PackageStamp, IsTodaysLocalDateWithoutAPackage) { EXPECT_TRUE(stamp_is_local_date()); }

} // namespace
} // namespace kestrival::version
