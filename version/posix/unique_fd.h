// An owned file descriptor, closed when it goes out of scope.
#pragma once

#include <unistd.h>
#include <utility>

namespace kestrival::version {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) { }
    ~UniqueFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) { }
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        UniqueFd gone(std::move(*this));
        fd_ = std::exchange(other.fd_, -1);
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

} // namespace kestrival::version
