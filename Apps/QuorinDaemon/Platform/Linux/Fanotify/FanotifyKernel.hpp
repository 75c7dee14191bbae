#pragma once

#include <sys/types.h>

#include <cstdint>

namespace quorin::daemon::fanotify {

/// The kernel calls that make and read a fanotify group, behind a seam so that tests can make
/// them fail the way a loaded machine does (no descriptors left, no memory, a group gone bad).
/// Each call has the system call's contract: -1 with `errno` set on failure.
class FanotifyKernel {
  public:
    virtual ~FanotifyKernel() = default;

    virtual int fanotify_init(unsigned int flags, unsigned int eventFlags) = 0;
    virtual int fanotify_mark(int group, unsigned int flags, std::uint64_t mask, int directory,
                              const char* path) = 0;
    virtual ssize_t read(int group, void* buffer, std::size_t size) = 0;
};

/// The real kernel.
class LinuxFanotifyKernel final : public FanotifyKernel {
  public:
    int fanotify_init(unsigned int flags, unsigned int eventFlags) override;
    int fanotify_mark(int group, unsigned int flags, std::uint64_t mask, int directory,
                      const char* path) override;
    ssize_t read(int group, void* buffer, std::size_t size) override;
};

}  // namespace quorin::daemon::fanotify
