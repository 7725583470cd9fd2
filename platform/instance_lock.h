// One daemon per listening address: a claim the operating system drops by
// itself when the process ends, however it ends, so a crash never leaves a
// stale lock behind and a second daemon can never share the port.
#pragma once

#include <string_view>

namespace tranca::platform {

class InstanceClaim {
  public:
    InstanceClaim() = default;
    ~InstanceClaim();
    InstanceClaim(InstanceClaim&& other) noexcept;
    InstanceClaim& operator=(InstanceClaim&& other) noexcept;
    InstanceClaim(const InstanceClaim&) = delete;
    InstanceClaim& operator=(const InstanceClaim&) = delete;

    // Claims key for this process; false when another process holds it (or
    // the claim cannot be made).
    bool claim(std::string_view key);
    bool held() const { return handle_ >= 0; }

  private:
    int handle_ = -1;
};

}  // namespace tranca::platform
