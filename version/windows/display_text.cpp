#include "version/display_text.h"

#include "version/gb18030.h"
#include "version/utf8.h"

#include <windows.h>

namespace kestrival::version {

namespace {

constexpr UINT kGb18030CodePage = 54936;
constexpr UINT kGbkCodePage = 936;
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// GB18030 where the system has it, as on Linux; where it lacks it (Wine), its two-byte subset.
UINT gb_code_page()
{
    static const UINT code_page = ::IsValidCodePage(kGb18030CodePage) != 0 ? kGb18030CodePage : kGbkCodePage;
    return code_page;
}

bool append_decoded(std::string &out, std::string_view unit)
{
    wchar_t wide[2];
    const int n = ::MultiByteToWideChar(gb_code_page(), MB_ERR_INVALID_CHARS, unit.data(),
                                        static_cast<int>(unit.size()), wide, 2);
    if (n <= 0)
        return false;
    char utf8[8];
    const int m = ::WideCharToMultiByte(CP_UTF8, 0, wide, n, utf8, sizeof utf8, nullptr, nullptr);
    out.append(utf8, static_cast<std::size_t>(std::max(m, 0)));
    return m > 0;
}

} // namespace

// Unit by unit, so that a byte that can't be decoded costs only itself, as on Linux. A lone
// byte from 0x80 up is no character in GB18030, whatever code page 936 makes of 0x80.
std::string decode_for_display(std::string_view bytes)
{
    if (is_valid_utf8(bytes))
        return std::string(bytes);
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = gb18030_unit_length(bytes, i);
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            out += bytes[i++];
        } else if (length > 1 && append_decoded(out, bytes.substr(i, length))) {
            i += length;
        } else {
            out += kReplacementUtf8;
            ++i;
        }
    }
    return out;
}

} // namespace kestrival::version
