#include "media/FileRoom.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {

namespace {

// About three seconds of a busy picture at a time: the system is asked for room far less than
// once a second.
constexpr std::int64_t kStep = 2 * 1024 * 1024;

}  // namespace

FileRoom::~FileRoom() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

int FileRoom::grow(std::int64_t size) {
    std::int64_t cap = std::numeric_limits<std::int64_t>::max();
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        cap = static_cast<std::int64_t>(limit.rlim_cur);
    }
    if (size > cap) {
        return EFBIG;
    }
    // Near a full disk a whole step may no longer be had; what is needed may still be.
    std::int64_t extra = std::min(kStep, cap - size);
    for (;;) {
        const int error = hold(size + extra);
        if (error == 0) {
            m_held = size + extra;
            return 0;
        }
        if (error != ENOSPC || extra == 0) {
            return error;
        }
        extra = extra > kStep / 16 ? extra / 4 : 0;
    }
}

int FileRoom::hold(std::int64_t size) {
    if (m_allocates) {
        int result = 0;
        do {
            result = ::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, m_held, size - m_held);
        } while (result != 0 && errno == EINTR);
        if (result == 0) {
            return 0;
        }
        if (errno != EOPNOTSUPP && errno != ENOSYS) {
            return errno;
        }
        m_allocates = false;
    }
    struct statvfs disk {};
    struct stat file {};
    if (::fstatvfs(m_fd, &disk) != 0 || ::fstat(m_fd, &file) != 0) {
        return errno;
    }
    const auto available = static_cast<std::int64_t>(disk.f_bavail * disk.f_frsize);
    return size - file.st_size <= available ? 0 : ENOSPC;
}

void FileRoom::release() {
    // Cutting the file at its own length frees the blocks allocated past it. Should that fail,
    // they are only held until the file is removed: nothing written is at stake.
    struct stat file {};
    if (m_fd >= 0 && m_held > 0 && ::fstat(m_fd, &file) == 0) {
        [[maybe_unused]] const int cut = ::ftruncate(m_fd, file.st_size);
    }
    m_held = 0;
}

bool FileRoom::removed() const {
    struct stat file {};
    return ::fstat(m_fd, &file) == 0 && file.st_nlink == 0;
}

}  // namespace platform
