// Modification times with nanosecond precision, for reloading files only when
// they changed. Only equality of successive readings matters.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <optional>
#include <string>

namespace tranca {

// "none" (nullopt) when the attributes cannot be read.
inline std::optional<timespec> modificationTime(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
#if defined(__APPLE__)
    return info.st_mtimespec;
#else
    return info.st_mtim;
#endif
}

// Two "none" readings are equal; two times are equal at the same instant.
inline bool sameModificationTime(const std::optional<timespec>& a,
                                 const std::optional<timespec>& b) {
    if (!a || !b) {
        return a.has_value() == b.has_value();
    }
    return a->tv_sec == b->tv_sec && a->tv_nsec == b->tv_nsec;
}

}  // namespace tranca
