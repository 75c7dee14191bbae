#include "QuorinDaemon/Platform/Linux/Fanotify/FanotifyKernel.hpp"

#include <sys/fanotify.h>
#include <unistd.h>

namespace quorin::daemon::fanotify {

int LinuxFanotifyKernel::fanotify_init(unsigned int flags, unsigned int eventFlags) {
    return ::fanotify_init(flags, eventFlags);
}

int LinuxFanotifyKernel::fanotify_mark(int group, unsigned int flags, std::uint64_t mask,
                                       int directory, const char* path) {
    return ::fanotify_mark(group, flags, mask, directory, path);
}

ssize_t LinuxFanotifyKernel::read(int group, void* buffer, std::size_t size) {
    return ::read(group, buffer, size);
}

}  // namespace quorin::daemon::fanotify
