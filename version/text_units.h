// Sequential reading of a ByteSource as units of text: bytes, or UTF-16 of either byte order.
#pragma once

#include "version/constants.h"
#include "version/ini.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace kestrival::version::text_units {

constexpr char32_t kEndOfData = 0xFFFFFFFF;
// An odd last byte of a UTF-16 file stands for this, so it is text but never syntax.
constexpr char32_t kReplacementChar = 0xFFFD;

// Reads a ByteSource front to back through one window of kReadChunkBytes.
class Cursor {
public:
    Cursor(const ByteSource &source, std::uint64_t start) :
        source_(source), cap_(window_for(source, start)), buf_(std::make_unique_for_overwrite<char[]>(cap_)),
        base_(start)
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

    // Moves to the next CR or LF byte, or to the end of the data; the rest of a line that
    // can no longer matter is passed over without looking at each unit's meaning.
    void skip_to_line_break()
    {
        do {
            const char *p = buf_.get() + idx_;
            const char *const end = buf_.get() + len_;
            while (p != end && *p != '\n' && *p != '\r')
                ++p;
            idx_ = static_cast<std::size_t>(p - buf_.get());
            if (p != end)
                return;
        } while (fill(1));
    }

    void advance(std::size_t n) { idx_ += n; }

private:
    // A small file needs no full window; a unit and its lookahead always fit.
    static std::size_t window_for(const ByteSource &source, std::uint64_t start)
    {
        constexpr std::uint64_t kMinWindow = 8;
        const std::uint64_t left = source.size() > start ? source.size() - start : 0;
        return static_cast<std::size_t>(std::clamp<std::uint64_t>(left, kMinWindow, kReadChunkBytes));
    }

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
            const std::size_t room = cap_ - len_;
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
    std::size_t cap_;
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
    ByteUnits(const ByteSource &source, std::uint64_t start) : cur_(source, start) { }
    Unit next()
    {
        const std::uint64_t p = cur_.pos();
        const int b = cur_.get();
        return b < 0 ? Unit {kEndOfData, p, 0} : Unit {static_cast<char32_t>(b), p, 1};
    }
    bool next_is_lf() { return cur_.peek() == '\n'; }
    // CR, NUL, LF is a line break of UTF-16 without a byte-order mark, seen as bytes.
    bool next_is_nul_lf() { return cur_.peek(0) == 0 && cur_.peek(1) == '\n'; }
    void skip_to_line_break() { cur_.skip_to_line_break(); }

private:
    Cursor cur_;
};

template <bool BigEndian> class Utf16Units {
public:
    static constexpr bool kBytes = false;
    Utf16Units(const ByteSource &source, std::uint64_t start) : cur_(source, start) { }
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
    static bool next_is_nul_lf() { return false; }
    void skip_to_line_break()
    {
        for (;;) {
            const int a = cur_.peek(0);
            const int b = cur_.peek(1);
            if (a < 0 || b < 0 || combine(a, b) == '\n' || combine(a, b) == '\r')
                return;
            cur_.advance(2);
        }
    }

private:
    static char32_t combine(int a, int b) { return static_cast<char32_t>(BigEndian ? (a << 8) | b : (b << 8) | a); }
    Cursor cur_;
};

} // namespace kestrival::version::text_units
