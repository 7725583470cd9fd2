// Linux: an abstract Unix socket bound under the key. Its name lives in the
// network namespace, like the port it stands for, and vanishes with the last
// descriptor.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/instance_lock.h"

namespace tranca::platform {

InstanceClaim::~InstanceClaim() {
    if (handle_ >= 0) {
        ::close(handle_);
    }
}

InstanceClaim::InstanceClaim(InstanceClaim&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

InstanceClaim& InstanceClaim::operator=(InstanceClaim&& other) noexcept {
    if (this != &other) {
        if (handle_ >= 0) {
            ::close(handle_);
        }
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

bool InstanceClaim::claim(std::string_view key) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // The leading NUL makes the name abstract: no file to clean up.
    if (key.size() + 1 > sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path + 1, key.data(), key.size());
    const int handle = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        return false;
    }
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + key.size());
    if (::bind(handle, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(handle);
        return false;
    }
    if (handle_ >= 0) {
        ::close(handle_);
    }
    handle_ = handle;
    return true;
}

}  // namespace tranca::platform
