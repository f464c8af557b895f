#include "version/package_stamp.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrival::version {
namespace {

using testing::ScratchDir;
using testing::WorkingDir;

constexpr std::int64_t kFirstSecondOf1601 = -11644473600;
constexpr std::int64_t kFirstSecondOf10000 = 253402300800;
constexpr std::int64_t kFirstSecondOf30828 = 910670515200;
// 2024-03-01 00:30 in UTC+8 is still 2024-02-29 in UTC.
constexpr std::int64_t kHalfPastMidnightInShanghai = 1709224200;

// A POSIX zone rule, so the tests don't depend on an installed time-zone database.
constexpr const char *kChinaStandardTime = "CST-8";
// As far east as zones go, so the local date differs from the UTC one for most of the day.
constexpr const char *kLineIslandsTime = "LINT-14";

struct DateCase {
    const char *name;
    std::int64_t seconds;
    std::optional<CalendarDate> expected;
};

class UtcDateOf : public ::testing::TestWithParam<DateCase> {};

TEST_P(UtcDateOf, GivesTheUtcCalendarDateWithinTheConvertibleYears)
{
    EXPECT_EQ(utc_date_of(GetParam().seconds), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Times, UtcDateOf,
    ::testing::Values(
        DateCase {"Epoch", 0, CalendarDate {1970, 1, 1}},
        DateCase {"LastSecondBeforeTheEpoch", -1, CalendarDate {1969, 12, 31}},
        DateCase {"LeapDay", 1709164800, CalendarDate {2024, 2, 29}},
        DateCase {"EastOfUtcJustAfterLocalMidnight", kHalfPastMidnightInShanghai, CalendarDate {2024, 2, 29}},
        DateCase {"Year2000IsLeap", 951782400, CalendarDate {2000, 2, 29}},
        DateCase {"Year2100IsNotLeap", 4107542400, CalendarDate {2100, 3, 1}},
        DateCase {"Beyond32BitSeconds", 4294967296, CalendarDate {2106, 2, 7}},
        DateCase {"FirstConvertibleSecond", kFirstSecondOf1601, CalendarDate {1601, 1, 1}},
        DateCase {"JustBefore1601", kFirstSecondOf1601 - 1, std::nullopt},
        DateCase {"FirstFiveDigitYear", kFirstSecondOf10000, CalendarDate {10000, 1, 1}},
        DateCase {"LastConvertibleSecond", kFirstSecondOf30828 - 1, CalendarDate {30827, 12, 31}},
        DateCase {"JustAfter30827", kFirstSecondOf30828, std::nullopt},
        DateCase {"Int64Min", INT64_MIN, std::nullopt},
        DateCase {"Int64Max", INT64_MAX, std::nullopt}),
    [](const auto &row) { return std::string(row.param.name); });

struct FormatCase {
    const char *name;
    CalendarDate date;
    const char *expected;
};

class FormatStamp : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatStamp, PadsYearMonthAndDay)
{
    EXPECT_EQ(format_stamp(GetParam().date), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, FormatStamp,
    ::testing::Values(FormatCase {"Ordinary", {2024, 2, 29}, "20240229"},
                      FormatCase {"EarliestYear", {1601, 1, 1}, "16010101"},
                      FormatCase {"LastFourDigitYear", {9999, 12, 31}, "99991231"},
                      FormatCase {"FiveDigitYear", {10000, 1, 1}, "100000101"},
                      FormatCase {"LatestYear", {30827, 12, 31}, "308271231"}),
    [](const auto &row) { return std::string(row.param.name); });

// Sets TZ for its lifetime and restores the previous zone.
class TimeZone {
public:
    explicit TimeZone(const char *zone)
    {
        if (const char *old = std::getenv("TZ"))
            previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone()
    {
        if (previous_)
            ::setenv("TZ", previous_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    TimeZone(const TimeZone &) = delete;
    TimeZone &operator=(const TimeZone &) = delete;

private:
    std::optional<std::string> previous_;
};

std::string local_date_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    return format_stamp({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday});
}

// The local date around a call, so a call that crosses midnight still matches.
::testing::AssertionResult is_local_date(const std::function<std::string()> &make)
{
    const std::string before = local_date_now();
    const std::string stamp = make();
    const std::string after = local_date_now();
    if (stamp == before || stamp == after)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << stamp << " is not the local date " << before;
}

void set_mtime(const std::string &path, std::int64_t seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(st.st_mtim.tv_sec, seconds) << "the file system did not keep the time";
}

class PackageDateStamp : public ::testing::Test {
protected:
    // tmpfs keeps file times far outside what disk file systems store.
    ScratchDir dir_ {"/dev/shm"};
    WorkingDir cwd_ {dir_.path()};
    const std::string package_ = "HarrowglimmerPatch.dat";
};

TEST_F(PackageDateStamp, IsTheUtcDateOfTheLastWriteEvenEastOfUtc)
{
    const TimeZone shanghai(kChinaStandardTime);
    testing::write_file(package_, "package");
    set_mtime(package_, kHalfPastMidnightInShanghai);
    EXPECT_EQ(make_package_date_stamp(), "20240229");
}

TEST_F(PackageDateStamp, HasAFiveDigitYearAfter9999)
{
    testing::write_file(package_, "package");
    set_mtime(package_, kFirstSecondOf10000 + 86400 * 40);
    EXPECT_EQ(make_package_date_stamp(), "100000210");
}

TEST_F(PackageDateStamp, FollowsASymbolicLinkToThePackage)
{
    testing::write_file("real.dat", "package");
    set_mtime("real.dat", 1709164800);
    ASSERT_EQ(::symlink("real.dat", package_.c_str()), 0);
    EXPECT_EQ(make_package_date_stamp(), "20240229");
}

TEST_F(PackageDateStamp, IsTodaysLocalDateWhenThePackageIsMissing)
{
    const TimeZone far_east(kLineIslandsTime);
    EXPECT_TRUE(is_local_date(make_package_date_stamp));
    ASSERT_EQ(::symlink("nowhere.dat", package_.c_str()), 0);
    EXPECT_TRUE(is_local_date(make_package_date_stamp));
}

class UnconvertiblePackageTime : public PackageDateStamp,
                                 public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(UnconvertiblePackageTime, GivesTodaysLocalDate)
{
    const TimeZone far_east(kLineIslandsTime);
    testing::write_file(package_, "package");
    set_mtime(package_, GetParam());
    EXPECT_TRUE(is_local_date(make_package_date_stamp));
}

INSTANTIATE_TEST_SUITE_P(Times, UnconvertiblePackageTime,
                         ::testing::Values(kFirstSecondOf1601 - 1, kFirstSecondOf30828));

} // namespace
} // namespace kestrival::version
