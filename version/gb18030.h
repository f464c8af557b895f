// The byte units of GB18030, the superset of code page 936.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrival::version {

// The bytes of the unit at v[i]: a lead byte 0x81-0xFE takes a trail 0x40-0xFE (not 0x7F) as
// a pair, or digit, lead, digit as a four-byte unit; anything else stands alone. Only its
// shape is judged, not whether the unit is assigned.
inline std::size_t gb18030_unit_length(std::string_view v, std::size_t i)
{
    const auto in = [&](std::size_t at, unsigned char lo, unsigned char hi) {
        return at < v.size() && static_cast<unsigned char>(v[at]) >= lo && static_cast<unsigned char>(v[at]) <= hi;
    };
    if (in(i, 0x81, 0xFE) && in(i + 1, 0x40, 0xFE) && v[i + 1] != 0x7F)
        return 2;
    if (in(i, 0x81, 0xFE) && in(i + 1, 0x30, 0x39) && in(i + 2, 0x81, 0xFE) && in(i + 3, 0x30, 0x39))
        return 4;
    return 1;
}

} // namespace kestrival::version
