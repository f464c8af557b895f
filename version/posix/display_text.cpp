#include "version/display_text.h"

#include "version/utf8.h"

#include <cerrno>
#include <iconv.h>

namespace kestrival::version {

namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// Decoded output per input byte at most: a GB18030 four-byte unit gives at most four bytes of
// UTF-8, and a lone undecodable byte gives three.
constexpr std::size_t kMaxUtf8PerByte = 3;

class Converter {
public:
    Converter() : cd_(::iconv_open("UTF-8", "GB18030")) { }
    ~Converter()
    {
        if (ok())
            ::iconv_close(cd_);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;
    [[nodiscard]] bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    [[nodiscard]] iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

} // namespace

std::string decode_for_display(std::string_view bytes)
{
    if (is_valid_utf8(bytes))
        return std::string(bytes);
    const Converter conv;
    std::string out(bytes.size() * kMaxUtf8PerByte + 4, '\0');
    char *in = const_cast<char *>(bytes.data());
    std::size_t in_left = bytes.size();
    char *dst = out.data();
    std::size_t dst_left = out.size();
    while (in_left > 0) {
        if (conv.ok() && ::iconv(conv.get(), &in, &in_left, &dst, &dst_left) != static_cast<std::size_t>(-1))
            break;
        if (conv.ok() && errno == E2BIG)
            break;
        // An undecodable byte (or a unit cut off by the end): show it and go on after it.
        if (conv.ok())
            ::iconv(conv.get(), nullptr, nullptr, nullptr, nullptr);
        const bool ascii = static_cast<unsigned char>(*in) < 0x80;
        const std::string_view shown = ascii ? std::string_view(in, 1) : kReplacementUtf8;
        if (dst_left < shown.size())
            break;
        for (const char c : shown)
            *dst++ = c;
        dst_left -= shown.size();
        ++in;
        --in_left;
    }
    out.resize(out.size() - dst_left);
    return out;
}

} // namespace kestrival::version
