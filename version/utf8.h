// Strict UTF-8 validation, fed one byte at a time so it works on data of any length.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

namespace kestrival::version {

// Rejects overlong forms, surrogates and code points above U+10FFFF, as the standard does.
class Utf8Check {
public:
    static constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

    void feed(unsigned char b, std::uint64_t pos)
    {
        if (first_bad_ != kNone)
            return;
        if (need_ > 0) {
            if (b < lo_ || b > hi_) {
                first_bad_ = seq_start_;
                return;
            }
            lo_ = 0x80;
            hi_ = 0xBF;
            --need_;
            return;
        }
        if (b < 0x80)
            return;
        seq_start_ = pos;
        if (b >= 0xC2 && b <= 0xDF) {
            need_ = 1;
        } else if (b == 0xE0) {
            need_ = 2;
            lo_ = 0xA0;
        } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
            need_ = 2;
        } else if (b == 0xED) {
            need_ = 2;
            hi_ = 0x9F;
        } else if (b == 0xF0) {
            need_ = 3;
            lo_ = 0x90;
        } else if (b >= 0xF1 && b <= 0xF3) {
            need_ = 3;
        } else if (b == 0xF4) {
            need_ = 3;
            hi_ = 0x8F;
        } else {
            first_bad_ = pos;
        }
    }

    // Marks a sequence cut short by the end of the data.
    void finish()
    {
        if (need_ > 0 && first_bad_ == kNone)
            first_bad_ = seq_start_;
    }

    // Where the first byte of the first broken sequence stands; kNone when there is none. Any
    // prefix ending before it on a character boundary is valid UTF-8.
    [[nodiscard]] std::uint64_t first_bad() const { return first_bad_; }

private:
    std::uint64_t first_bad_ = kNone;
    std::uint64_t seq_start_ = 0;
    int need_ = 0;
    unsigned char lo_ = 0x80;
    unsigned char hi_ = 0xBF;
};

[[nodiscard]] inline bool is_valid_utf8(std::string_view bytes)
{
    Utf8Check check;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        check.feed(static_cast<unsigned char>(bytes[i]), i);
    check.finish();
    return check.first_bad() == Utf8Check::kNone;
}

} // namespace kestrival::version
