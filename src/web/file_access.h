// Opening files of the `Web` folder: a descriptor owner and the open-with-retry rule.
#pragma once

#include <string>
#include <string_view>
#include <unistd.h>

namespace tavolex::web {

// An open file descriptor, closed on destruction.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() { Reset(); }
    FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileHandle& operator=(FileHandle&& other) noexcept
    {
        if (this != &other) {
            Reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void Reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Opens for reading. A file that another program holds busy is tried again after a pause of
// (limit + 127) / 128 ms, doubling each time while the pause is below the time left; any other
// failure ends the attempts at once. Opening never blocks on a FIFO.
FileHandle OpenWithRetry(const std::string& path, int limitMs);

// True when the open file lies inside `root` (a folder with every symbolic link resolved) as
// the system resolved it when opening: a link that leads out of the folder does not count.
bool IsInsideFolder(const FileHandle& file, std::string_view root);

} // namespace tavolex::web
