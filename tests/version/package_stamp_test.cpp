#include "version/package_stamp.h"

#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrival::version {
namespace {

using testing::ScratchDir;
using testing::WorkingDir;

constexpr std::int64_t kFirstSecondOf1601 = -11644473600;
constexpr std::int64_t kFirstSecondOf10000 = 253402300800;
constexpr std::int64_t kFirstSecondOf30828 = 910670515200;
constexpr std::int64_t kLeapDay2024 = 1709164800;
// 2024-03-01 00:30 in UTC+14 is still 2024-02-29 in UTC.
constexpr std::int64_t kHalfPastMidnightInUtcPlus14 = kLeapDay2024 + 37800;
// As far east as zones go, so the local date differs from the UTC one for most of the day. A
// POSIX zone rule, so the tests don't depend on an installed time-zone database.
constexpr const char *kLineIslandsTime = "LINT-14";

struct DateCase {
    const char *name;
    std::int64_t seconds;
    std::optional<CalendarDate> expected;
};

class UtcDateOf : public ::testing::TestWithParam<DateCase> { };

TEST_P(UtcDateOf, GivesTheUtcCalendarDateWithinTheConvertibleYears)
{
    EXPECT_EQ(utc_date_of(GetParam().seconds), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Times, UtcDateOf,
    ::testing::Values(DateCase {"Epoch", 0, CalendarDate {1970, 1, 1}},
                      DateCase {"LastSecondBeforeTheEpoch", -1, CalendarDate {1969, 12, 31}},
                      DateCase {"LeapDay", kLeapDay2024, CalendarDate {2024, 2, 29}},
                      DateCase {"Year2000IsLeap", 951782400, CalendarDate {2000, 2, 29}},
                      DateCase {"Year2100IsNotLeap", 4107542400, CalendarDate {2100, 3, 1}},
                      DateCase {"Beyond32BitSeconds", 4294967296, CalendarDate {2106, 2, 7}},
                      DateCase {"FirstConvertibleSecond", kFirstSecondOf1601, CalendarDate {1601, 1, 1}},
                      DateCase {"JustBefore1601", kFirstSecondOf1601 - 1, std::nullopt},
                      DateCase {"FirstFiveDigitYear", kFirstSecondOf10000, CalendarDate {10000, 1, 1}},
                      DateCase {"LastConvertibleSecond", kFirstSecondOf30828 - 1, CalendarDate {30827, 12, 31}},
                      DateCase {"JustAfter30827", kFirstSecondOf30828, std::nullopt},
                      DateCase {"Int64Min", INT64_MIN, std::nullopt}, DateCase {"Int64Max", INT64_MAX, std::nullopt}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(FormatStamp, PadsToEightDigitsAndWidensForFiveDigitYears)
{
    EXPECT_EQ(format_stamp({1601, 1, 1}), "16010101");
    EXPECT_EQ(format_stamp({10000, 1, 1}), "100000101");
    EXPECT_EQ(format_stamp({30827, 12, 31}), "308271231");
}

// Far east of UTC for the rest of the process; only the stamp tests read the zone.
void use_far_east_zone()
{
    ::setenv("TZ", kLineIslandsTime, 1);
    ::tzset();
}

// Whether the stamp is today's local date, taken on both sides of the call across midnight.
::testing::AssertionResult stamp_is_local_date()
{
    const auto today = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local {};
        ::localtime_r(&now, &local);
        return format_stamp({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday});
    };
    const std::string before = today();
    const std::string stamp = make_package_date_stamp();
    if (stamp == before || stamp == today())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << stamp << " is not the local date " << before;
}

void set_mtime(const std::string &path, std::int64_t seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    struct stat st { };
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(st.st_mtim.tv_sec, seconds) << "the file system did not keep the time";
}

struct StampCase {
    const char *name;
    std::int64_t mtime;
    const char *expected; // nullptr: today's local date
    bool via_link = false;
};

class PackageDateStamp : public ::testing::TestWithParam<StampCase> {
protected:
    // tmpfs keeps file times far outside what disk file systems store.
    ScratchDir dir_ {"/dev/shm"};
    WorkingDir cwd_ {dir_.path()};
    void SetUp() override { use_far_east_zone(); }
};

TEST_P(PackageDateStamp, IsTheUtcDateOfThePackagesLastWriteOrTodaysLocalDate)
{
    const std::string file = GetParam().via_link ? "real.dat" : "HarrowglimmerPatch.dat";
    testing::write_file(file, "package");
    set_mtime(file, GetParam().mtime);
    ASSERT_TRUE(!GetParam().via_link || ::symlink("real.dat", "HarrowglimmerPatch.dat") == 0);
    if (GetParam().expected)
        EXPECT_EQ(make_package_date_stamp(), GetParam().expected);
    else
        EXPECT_TRUE(stamp_is_local_date());
}

INSTANTIATE_TEST_SUITE_P(Times, PackageDateStamp,
                         ::testing::Values(StampCase {"EastOfUtcJustAfterLocalMidnight", kHalfPastMidnightInUtcPlus14,
                                                      "20240229", true},
                                           StampCase {"FiveDigitYear", kFirstSecondOf10000 + 86400 * 40, "100000210"},
                                           StampCase {"Before1601", kFirstSecondOf1601 - 1, nullptr},
                                           StampCase {"After30827", kFirstSecondOf30828, nullptr, true}),
                         [](const auto &row) { return std::string(row.param.name); });

TEST(PackageDateStampMissing, IsTodaysLocalDate)
{
    const ScratchDir dir;
    const WorkingDir cwd(dir.path());
    use_far_east_zone();
    EXPECT_TRUE(stamp_is_local_date());
    ASSERT_EQ(::symlink("nowhere.dat", "HarrowglimmerPatch.dat"), 0);
    EXPECT_TRUE(stamp_is_local_date());
}

} // namespace
} // namespace kestrival::version
