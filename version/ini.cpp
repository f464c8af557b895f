#include "version/ini.h"

#include "version/constants.h"
#include "version/gb18030.h"
#include "version/ini_scan.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrival::version {

std::size_t MemorySource::read(std::uint64_t offset, char *buf, std::size_t n) const
{
    if (offset >= bytes_.size())
        return 0;
    const std::size_t count = std::min<std::size_t>(n, bytes_.size() - static_cast<std::size_t>(offset));
    std::memcpy(buf, bytes_.data() + offset, count);
    return count;
}

namespace {

// A value longer than the limit is read only this far: enough to find the last whole
// character within kMaxVersionBytes (a UTF-16 surrogate pair or a four-byte unit past it).
constexpr std::size_t kValuePrefixBytes = (kMaxVersionBytes + 3) * 2;

std::size_t read_fully(const ByteSource &source, std::uint64_t offset, char *buf, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        const std::size_t got = source.read(offset + done, buf + done, n - done);
        if (got == 0)
            break;
        done += std::min(got, n - done);
    }
    return done;
}

std::size_t utf8_length_within(std::string_view v, std::size_t limit)
{
    std::size_t n = std::min(v.size(), limit);
    while (n > 0 && n < v.size() && (static_cast<unsigned char>(v[n]) & 0xC0) == 0x80)
        --n;
    return n;
}

std::size_t gb_length_within(std::string_view v, std::size_t limit)
{
    std::size_t i = 0;
    while (i < v.size()) {
        const std::size_t unit = gb18030_unit_length(v, i);
        if (i + unit > limit)
            break;
        i += unit;
    }
    return i;
}

void append_utf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::size_t utf8_size(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

std::string utf16_to_utf8(std::string_view v, bool big_endian, std::size_t limit)
{
    const auto unit = [&](std::size_t i) -> char32_t {
        if (2 * i + 1 >= v.size())
            return 0xFFFD;
        const auto a = static_cast<unsigned char>(v[2 * i]);
        const auto b = static_cast<unsigned char>(v[2 * i + 1]);
        return static_cast<char32_t>(big_endian ? (a << 8) | b : (b << 8) | a);
    };
    const std::size_t units = (v.size() + 1) / 2;
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (out.size() + utf8_size(c) > limit)
            break;
        append_utf8(out, c);
    }
    return out;
}

std::string value_of(const ByteSource &source, const IniScan &s)
{
    if (!s.has_key || !s.key_has_eq || s.read_end <= s.read_begin)
        return {};
    std::array<char, kValuePrefixBytes> buf {};
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(s.read_end - s.read_begin, buf.size()));
    const std::string_view v(buf.data(), read_fully(source, s.read_begin, buf.data(), want));
    if (s.encoding != TextEncoding::Bytes)
        return utf16_to_utf8(v, s.encoding == TextEncoding::Utf16Be, kMaxVersionBytes);
    const std::size_t n
        = s.read_is_utf8 ? utf8_length_within(v, kMaxVersionBytes) : gb_length_within(v, kMaxVersionBytes);
    return std::string(v.substr(0, n));
}

std::string line_end_text(LineEnd e)
{
    switch (e) {
    case LineEnd::Lf:
        return "\n";
    case LineEnd::Cr:
        return "\r";
    case LineEnd::None:
    case LineEnd::CrLf:
        break;
    }
    return "\r\n";
}

std::string encode(std::string_view ascii, TextEncoding e)
{
    if (e == TextEncoding::Bytes)
        return std::string(ascii);
    std::string out;
    out.reserve(ascii.size() * 2);
    for (const char c : ascii) {
        if (e == TextEncoding::Utf16Be)
            out += '\0';
        out += c;
        if (e == TextEncoding::Utf16Le)
            out += '\0';
    }
    return out;
}

// Whether the unit at `pos` is a line feed, which a lone CR placed before it would swallow.
bool lf_at(const ByteSource &source, const IniScan &s, std::uint64_t pos)
{
    std::array<char, 2> u {};
    const unsigned width = unit_width(s.encoding);
    if (read_fully(source, pos, u.data(), width) != width)
        return false;
    if (s.encoding == TextEncoding::Bytes)
        return u[0] == '\n';
    const std::size_t lf = s.encoding == TextEncoding::Utf16Le ? 0 : 1;
    return u[lf] == '\n' && u[1 - lf] == '\0';
}

// Completes an odd last byte of a UTF-16 file to a unit outside ASCII, so text appended after
// it starts on a unit boundary and the completed unit can never be read as syntax.
std::string odd_byte_pad(TextEncoding e) { return std::string(1, e == TextEncoding::Utf16Le ? '\xFF' : '\xFD'); }

} // namespace

std::string read_version(const ByteSource &source) { return value_of(source, scan_ini(source)); }

std::string read_version(std::string_view bytes) { return read_version(MemorySource(bytes)); }

// The replaced span runs to the end of the line's text, so bytes after a NUL inside the old
// value, which no read ever showed, go with it: the line then holds exactly the new value.
VersionEdit plan_version_edit(const ByteSource &source, std::string_view stamp)
{
    const IniScan s = scan_ini(source);
    const std::string eol = line_end_text(s.first_line_end);
    VersionEdit edit;
    std::string text;
    if (s.has_key) {
        if (value_of(source, s) == stamp) {
            edit.unchanged = true;
            return edit;
        }
        if (s.key_has_eq) {
            edit.begin = s.value_begin;
            edit.end = s.value_end;
            text = stamp;
        } else {
            edit.begin = edit.end = s.key_content_end;
            text = "=" + std::string(stamp);
        }
    } else if (s.has_section) {
        edit.begin = edit.end = s.insert_at;
        if (s.insert_after_unterminated)
            text = eol;
        const bool keep_lf_apart = s.first_line_end == LineEnd::Cr && lf_at(source, s, s.insert_at);
        text += std::string(kKey) + "=" + std::string(stamp) + (keep_lf_apart ? "\r\n" : eol);
    } else {
        edit.begin = edit.end = s.size;
        if (s.ends_unterminated)
            text = eol;
        text += "[" + std::string(kSection) + "]" + eol + std::string(kKey) + "=" + std::string(stamp) + eol;
    }
    edit.replacement = encode(text, s.encoding);
    if (s.encoding != TextEncoding::Bytes && edit.begin == s.size && (s.size - s.body_begin) % 2 == 1)
        edit.replacement.insert(0, odd_byte_pad(s.encoding));
    return edit;
}

} // namespace kestrival::version
