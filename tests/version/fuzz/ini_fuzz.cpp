// Feeds arbitrary bytes to the INI reader and to a planned, applied stamp edit.
#include "support.h"
#include "version/constants.h"
#include "version/ini.h"
#include "version/package_stamp.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace {

using namespace kestrival::version;

// A date stamp as the program writes it: eight digits, or nine for a five-digit year.
std::string stamp_from(std::uint64_t h)
{
    const auto year = static_cast<int>(h % 2 == 0 ? 1 + (h >> 1) % 9999 : 10000 + (h >> 1) % 90000);
    return format_stamp({year, static_cast<int>(1 + (h >> 20) % 12), static_cast<int>(1 + (h >> 28) % 31)});
}

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "ini_fuzz: %s\n", what);
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const std::uint64_t h = std::hash<std::string_view> {}(bytes);

    const std::string value = read_version(bytes);
    check(value.size() <= kMaxVersionBytes, "value longer than the limit");
    check(read_version(testing::DribbleSource(bytes, 1 + h % 7)) == value, "value depends on read sizes");

    const std::string stamp = stamp_from(h);
    const VersionEdit edit = plan_version_edit(MemorySource(bytes), stamp);
    if (edit.unchanged) {
        check(value == stamp, "unchanged but the value is not the stamp");
        return 0;
    }
    check(edit.begin <= edit.end && edit.end <= size, "span outside the file");
    const std::string after = testing::apply_version_edit(bytes, edit);
    check(bytes.substr(0, edit.begin) == std::string_view(after).substr(0, edit.begin), "bytes before the span moved");
    check(bytes.substr(edit.end) == std::string_view(after).substr(edit.begin + edit.replacement.size()),
          "bytes after the span moved");
    check(read_version(after) == stamp, "edited file does not read as the stamp");
    check(plan_version_edit(MemorySource(after), stamp).unchanged, "second edit is not a no-op");
    return 0;
}
