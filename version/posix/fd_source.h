// Reading a file through its descriptor, in bounded chunks.
#pragma once

#include "version/ini.h"

namespace kestrival::version {

// A ByteSource over an open file descriptor, read with pread so the descriptor's offset is
// never moved. The caller owns the descriptor and keeps it open while the source is used.
// The size is taken once, at construction; a read error ends the data where it happened.
class FdSource final : public ByteSource {
public:
    explicit FdSource(int fd);
    [[nodiscard]] std::uint64_t size() const override { return size_; }
    std::size_t read(std::uint64_t offset, char *buf, std::size_t n) const override;

private:
    int fd_;
    std::uint64_t size_ = 0;
};

} // namespace kestrival::version
