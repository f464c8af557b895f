#include "version/ini_scan.h"

#include "version/constants.h"
#include "version/text_units.h"
#include "version/utf8.h"

#include <algorithm>
#include <array>

namespace kestrival::version {

namespace {

using namespace text_units;

bool is_blank(char32_t c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1A; }

char32_t fold_ascii(char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Matches a name unit by unit: leading and trailing blanks ignored, ASCII case folded, a NUL
// ending the name.
class NameMatcher {
public:
    explicit NameMatcher(std::string_view name) : name_(name) { }
    void feed(char32_t c)
    {
        if (stopped_)
            return;
        if (c == 0) {
            stopped_ = true;
            return;
        }
        if (is_blank(c)) {
            trailing_ = matched_ > 0;
            return;
        }
        if (trailing_ || matched_ == name_.size()
            || fold_ascii(c) != fold_ascii(static_cast<unsigned char>(name_[matched_]))) {
            failed_ = stopped_ = true;
            return;
        }
        ++matched_;
    }
    [[nodiscard]] bool matches() const { return !failed_ && matched_ == name_.size(); }
    // Whether the result can no longer change, whatever follows.
    [[nodiscard]] bool settled() const { return stopped_; }

private:
    std::string_view name_;
    std::size_t matched_ = 0;
    bool trailing_ = false;
    bool failed_ = false;
    bool stopped_ = false;
};

enum class LineKind { Blank, Comment, Header, Other };

struct ValueInfo {
    bool started = false; // a non-blank unit followed '='
    bool nul_seen = false;
    bool has_last = false; // a non-blank unit stood before any NUL
    std::uint64_t begin = 0;
    char32_t first = 0;
    std::uint64_t last_pos = 0;
    char32_t last = 0;
    std::uint64_t last_end = 0;
    Utf8Check utf8;
};

struct Line {
    std::uint64_t start = 0;
    std::uint64_t content_end = 0; // after the last non-blank unit; `start` when none
    std::uint64_t end = 0; // after the terminator
    std::uint64_t eq_end = 0; // after '='
    LineEnd line_end = LineEnd::None;
    LineKind kind = LineKind::Blank;
    bool is_section = false; // a header naming the section
    bool is_key = false; // a key line naming the key
    bool has_eq = false;
    ValueInfo value;
};

template <class Units> void track_value(ValueInfo &v, const Unit &u)
{
    if (!v.started) {
        if (is_blank(u.c))
            return;
        v.started = true;
        v.begin = u.pos;
        v.first = u.c;
    }
    if (v.nul_seen)
        return;
    if (u.c == 0) {
        v.nul_seen = true;
        return;
    }
    if constexpr (Units::kBytes)
        v.utf8.feed(static_cast<unsigned char>(u.c), u.pos);
    if (!is_blank(u.c)) {
        v.has_last = true;
        v.last_pos = u.pos;
        v.last = u.c;
        v.last_end = u.pos + u.len;
    }
}

// Reads one line and its terminator. The value is followed only on the key line when
// `want_value`, so other lines cost a few comparisons per unit.
template <class Units> Line scan_line(Units &units, bool want_value)
{
    enum class Phase { Lead, Header, Skip, Name, Value };
    Phase phase = Phase::Lead;
    NameMatcher section(kSection);
    NameMatcher key(kKey);
    Line line;
    for (bool first = true;; first = false) {
        const Unit u = units.next();
        if (first)
            line.start = line.content_end = u.pos;
        if (u.c == kEndOfData || u.c == '\n' || u.c == '\r') {
            line.end = u.pos + u.len;
            if (u.c == '\n') {
                line.line_end = LineEnd::Lf;
            } else if (u.c == '\r') {
                line.line_end = LineEnd::Cr;
                if (units.next_is_lf()) {
                    line.end += units.next().len;
                    line.line_end = LineEnd::CrLf;
                } else if (units.next_is_nul_lf()) {
                    // Still two lines to a read, but new lines take CRLF, never a bare CR.
                    line.line_end = LineEnd::CrLf;
                }
            }
            break;
        }
        if (!is_blank(u.c))
            line.content_end = u.pos + u.len;
        if (phase == Phase::Lead) {
            if (is_blank(u.c))
                continue;
            line.kind = u.c == ';' || u.c == '#' ? LineKind::Comment : LineKind::Other;
            if (u.c == '[' || line.kind == LineKind::Comment) {
                phase = u.c == '[' ? Phase::Header : Phase::Skip;
                continue;
            }
            phase = Phase::Name;
        }
        switch (phase) {
        case Phase::Name:
            if (u.c == '=') {
                line.has_eq = true;
                line.eq_end = u.pos + u.len;
                line.is_key = key.matches();
                phase = line.is_key && want_value ? Phase::Value : Phase::Skip;
            } else {
                key.feed(u.c);
            }
            break;
        case Phase::Header:
            // The name runs to the last ']' of the line.
            if (u.c == ']') {
                line.kind = LineKind::Header;
                line.is_section = section.matches();
            }
            section.feed(u.c);
            break;
        case Phase::Value:
            track_value<Units>(line.value, u);
            break;
        case Phase::Lead:
        case Phase::Skip:
            break;
        }
        if (phase == Phase::Skip || (phase == Phase::Name && key.settled() && !(want_value && key.matches())))
            units.skip_to_line_break();
    }
    if (phase == Phase::Name)
        line.is_key = key.matches();
    return line;
}

void record_value(IniScan &s, Line &line, unsigned width)
{
    s.key_has_eq = line.has_eq;
    s.key_content_end = line.content_end;
    if (!line.has_eq)
        return;
    ValueInfo &v = line.value;
    s.value_begin = v.started ? v.begin : line.eq_end;
    s.value_end = std::max(s.value_begin, line.content_end);
    s.read_begin = s.value_begin;
    s.read_end = v.has_last ? v.last_end : s.read_begin;
    if (v.has_last && v.last_pos != v.begin && v.first == v.last && (v.first == '"' || v.first == '\'')) {
        s.read_begin += width;
        s.read_end = v.last_pos;
    }
    v.utf8.finish();
    s.read_is_utf8 = v.utf8.first_bad() >= s.read_end;
}

template <class Units> void scan_lines(Units &units, IniScan &s)
{
    bool in_section = false;
    for (;;) {
        Line line = scan_line(units, in_section);
        if (s.first_line_end == LineEnd::None)
            s.first_line_end = line.line_end;
        const bool terminated = line.line_end != LineEnd::None;
        if (in_section) {
            if (line.kind == LineKind::Header)
                return;
            if (line.is_key) {
                s.has_key = true;
                record_value(s, line, Units::kBytes ? 1 : 2);
                return;
            }
            if (line.kind == LineKind::Other) {
                s.insert_at = line.end;
                s.insert_after_unterminated = !terminated;
            }
        } else if (line.is_section) {
            in_section = true;
            s.has_section = true;
            s.insert_at = line.end;
            s.insert_after_unterminated = !terminated;
        }
        if (!terminated) {
            s.ends_unterminated = line.end > line.start;
            return;
        }
    }
}

} // namespace

IniScan scan_ini(const ByteSource &source)
{
    IniScan s;
    s.size = source.size();
    std::array<char, 3> head {};
    std::size_t got = 0;
    while (got < head.size()) {
        const std::size_t n = source.read(got, head.data() + got, head.size() - got);
        if (n == 0)
            break;
        got += n;
    }
    const auto byte = [&](std::size_t i) { return i < got ? static_cast<unsigned char>(head[i]) : -1; };
    if (byte(0) == 0xFF && byte(1) == 0xFE) {
        s.encoding = TextEncoding::Utf16Le;
        s.body_begin = 2;
    } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
        s.encoding = TextEncoding::Utf16Be;
        s.body_begin = 2;
    } else if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        s.body_begin = 3;
    }
    switch (s.encoding) {
    case TextEncoding::Bytes: {
        ByteUnits units(source, s.body_begin);
        scan_lines(units, s);
        break;
    }
    case TextEncoding::Utf16Le: {
        Utf16Units<false> units(source, s.body_begin);
        scan_lines(units, s);
        break;
    }
    case TextEncoding::Utf16Be: {
        Utf16Units<true> units(source, s.body_begin);
        scan_lines(units, s);
        break;
    }
    }
    return s;
}

} // namespace kestrival::version
