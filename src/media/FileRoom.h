#pragma once

#include <cstdint>

namespace platform {

// Disk space held for a file being written: blocks allocated past what is written so far, so
// that the end of the file always fits however full the disk gets meanwhile. A limit on the size
// of this process's files counts as a full disk too. Also tells when the file has gone.
class FileRoom {
  public:
    // Takes the descriptor (open for writing) and closes it when it goes.
    explicit FileRoom(int fd) : m_fd(fd) {}
    ~FileRoom();
    FileRoom(const FileRoom&) = delete;
    FileRoom& operator=(const FileRoom&) = delete;

    // Makes sure the file can grow to `size` bytes: 0, or why it cannot (ENOSPC, EFBIG, ...).
    // Room is taken in large steps, so nearly every call asks nothing of the system.
    int ensure(std::int64_t size) { return size <= m_held ? 0 : grow(size); }
    // Gives back what is held beyond the file's end, once nothing more is written.
    void release();
    // Whether the file has lost its last name (removed, or its folder was) while open.
    bool removed() const;

  private:
    int grow(std::int64_t size);
    int hold(std::int64_t size);

    const int m_fd;
    std::int64_t m_held = 0;  // the file may grow to here
    // Off where the file system cannot allocate ahead: its free space is checked instead.
    bool m_allocates = true;
};

}  // namespace platform
