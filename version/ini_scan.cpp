#include "version/ini_scan.h"

#include "version/constants.h"
#include "version/utf8.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace kestrival::version {

namespace {

constexpr char32_t kEndOfData = 0xFFFFFFFF;
// An odd last byte of a UTF-16 file stands for this, so it is text but never syntax.
constexpr char32_t kReplacementChar = 0xFFFD;

bool is_blank(char32_t c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1A;
}

char32_t fold_ascii(char32_t c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

// Reads a ByteSource front to back through one window of kReadChunkBytes.
class Cursor {
public:
    Cursor(const ByteSource &source, std::uint64_t start)
        : source_(source), buf_(std::make_unique<char[]>(kReadChunkBytes)), base_(start)
    {
    }

    [[nodiscard]] std::uint64_t pos() const { return base_ + idx_; }

    // The byte k places ahead (k < 4), or -1 past the end of the data.
    int peek(std::size_t k = 0)
    {
        if (idx_ + k >= len_ && !fill(k + 1))
            return -1;
        return static_cast<unsigned char>(buf_[idx_ + k]);
    }

    int get()
    {
        const int b = peek();
        if (b >= 0)
            ++idx_;
        return b;
    }

private:
    // Keeps the unread tail and reads on until `want` bytes are buffered; a source may return
    // fewer bytes than asked, and only 0 ends the data.
    bool fill(std::size_t want)
    {
        if (ended_)
            return false;
        const std::size_t tail = len_ - idx_;
        std::memmove(buf_.get(), buf_.get() + idx_, tail);
        base_ += idx_;
        idx_ = 0;
        len_ = tail;
        while (len_ < want) {
            const std::size_t room = kReadChunkBytes - len_;
            const std::size_t got = std::min(source_.read(base_ + len_, buf_.get() + len_, room), room);
            if (got == 0) {
                ended_ = true;
                return false;
            }
            len_ += got;
        }
        return true;
    }

    const ByteSource &source_;
    std::unique_ptr<char[]> buf_;
    std::uint64_t base_;
    std::size_t idx_ = 0;
    std::size_t len_ = 0;
    bool ended_ = false;
};

struct Unit {
    char32_t c;
    std::uint64_t pos;
    unsigned len;
};

class ByteUnits {
public:
    static constexpr bool kBytes = true;
    ByteUnits(const ByteSource &source, std::uint64_t start) : cur_(source, start) {}
    Unit next()
    {
        const std::uint64_t p = cur_.pos();
        const int b = cur_.get();
        return b < 0 ? Unit{kEndOfData, p, 0} : Unit{static_cast<char32_t>(b), p, 1};
    }
    bool next_is_lf() { return cur_.peek() == '\n'; }

private:
    Cursor cur_;
};

template <bool BigEndian>
class Utf16Units {
public:
    static constexpr bool kBytes = false;
    Utf16Units(const ByteSource &source, std::uint64_t start) : cur_(source, start) {}
    Unit next()
    {
        const std::uint64_t p = cur_.pos();
        const int a = cur_.get();
        if (a < 0)
            return {kEndOfData, p, 0};
        const int b = cur_.get();
        if (b < 0)
            return {kReplacementChar, p, 1};
        return {combine(a, b), p, 2};
    }
    bool next_is_lf()
    {
        const int a = cur_.peek(0);
        const int b = cur_.peek(1);
        return a >= 0 && b >= 0 && combine(a, b) == '\n';
    }

private:
    static char32_t combine(int a, int b)
    {
        return static_cast<char32_t>(BigEndian ? (a << 8) | b : (b << 8) | a);
    }
    Cursor cur_;
};

// Matches a name unit by unit: leading and trailing blanks ignored, ASCII case folded, a NUL
// ending the name.
class NameMatcher {
public:
    explicit NameMatcher(std::string_view name) : name_(name) {}
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

private:
    std::string_view name_;
    std::size_t matched_ = 0;
    bool trailing_ = false;
    bool failed_ = false;
    bool stopped_ = false;
};

enum class LineKind { Blank, Comment, Header, Other };

struct ValueInfo {
    bool started = false;      // a non-blank unit followed '='
    bool nul_seen = false;
    bool has_last = false;     // a non-blank unit stood before any NUL
    std::uint64_t begin = 0;
    char32_t first = 0;
    std::uint64_t last_pos = 0;
    char32_t last = 0;
    std::uint64_t last_end = 0;
    Utf8Check utf8;
};

struct Line {
    std::uint64_t start = 0;
    std::uint64_t content_end = 0;   // after the last non-blank unit; `start` when none
    std::uint64_t end = 0;           // after the terminator
    std::uint64_t eq_end = 0;        // after '='
    LineEnd line_end = LineEnd::None;
    LineKind kind = LineKind::Blank;
    bool is_section = false;         // a header naming the section
    bool is_key = false;             // a key line naming the key
    bool has_eq = false;
    ValueInfo value;
};

template <class Units>
void track_value(ValueInfo &v, const Unit &u)
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
template <class Units>
Line scan_line(Units &units, bool want_value)
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

template <class Units>
void scan_lines(Units &units, IniScan &s)
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
    std::array<char, 3> head{};
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
