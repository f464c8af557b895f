// A byte source that hands out at most `step` bytes per read, so units and line breaks fall
// across reads.
#pragma once

#include "version/ini.h"

#include <algorithm>

namespace kestrival::version::testing {

class DribbleSource final : public ByteSource {
public:
    DribbleSource(std::string_view bytes, std::size_t step) : bytes_(bytes), step_(step) { }
    [[nodiscard]] std::uint64_t size() const override { return bytes_.size(); }
    std::size_t read(std::uint64_t offset, char *buf, std::size_t n) const override
    {
        return MemorySource(bytes_).read(offset, buf, std::min(n, step_));
    }

private:
    std::string_view bytes_;
    std::size_t step_;
};

} // namespace kestrival::version::testing
