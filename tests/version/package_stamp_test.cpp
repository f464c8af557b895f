#include "support.h"
#include "version/constants.h"
#include "version/package_stamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

namespace kestrival::version {
namespace {

// As far east as zones go, so the local date differs from the UTC one for most of the day. A
// POSIX zone rule, so the tests don't depend on an installed time-zone database.
constexpr const char *kLineIslandsTime = "LINT-14";

std::string local_today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    return format_stamp({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday});
}

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
    // tmpfs keeps file times far outside what disk file systems store.
    testing::ScratchDir dir_ {"/dev/shm"};
    std::filesystem::path previous_ = std::filesystem::current_path();
    void SetUp() override
    {
        std::filesystem::current_path(dir_.path());
        ::setenv("TZ", kLineIslandsTime, 1);
        ::tzset();
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
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, std::string(kPackageFileName).c_str(), times, 0), 0);
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
