#include "kernel/changewatch.h"

#include <netlink/socket.h>

#include <cerrno>
#include <filesystem>
#include <linux/rtnetlink.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every change of a record: written in place, renamed into place, removed,
// and the folder itself going away.
constexpr uint32_t folderEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM
    | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// The folder itself, or, while it doesn't exist, its nearest existing parent
// for the creation that leads to it. The watch descriptor, -1 when there is none.
int watchFolder(int fd, const std::string &folder)
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(folder, error);
    if (error)
        return -1;
    int wd = inotify_add_watch(fd, path.c_str(), folderEvents | IN_ONLYDIR);
    while (wd < 0 && (errno == ENOENT || errno == ENOTDIR) && path.has_relative_path()) {
        path = path.parent_path();
        wd = inotify_add_watch(fd, path.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF);
    }
    return wd;
}

// Reads whatever is queued; false when the descriptor is broken.
bool drain(int fd)
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        if (::read(fd, buffer, sizeof buffer) >= 0 || errno == EINTR || errno == ENOBUFS)
            continue;
        return errno == EAGAIN;
    }
}

} // namespace

ChangeWatch::~ChangeWatch()
{
    close();
}

void ChangeWatch::close()
{
    m_kernel.reset();
    if (m_files >= 0)
        ::close(m_files);
    if (m_namespace >= 0)
        ::close(m_namespace);
    m_files = -1;
    m_watch = -1;
    m_namespace = -1;
}

// Closing a socket or an inotify instance waits for the kernel's readers to
// let go of it, which takes milliseconds: both are kept, and emptied at each arm.
void ChangeWatch::arm(const std::string &folder)
{
    m_armed = false;
    const netns::Id here = netns::current();
    if (!here.known())
        return;
    // While the socket lives, the namespace it was made in lives too, so
    // that namespace's inode can't pass to another one.
    if (!m_kernel || here != m_watched || m_forks != netns::forks()) {
        close();
        m_watched = here;
        m_forks = netns::forks();
        // Open, the namespace keeps its nsfs dentry, and each look at
        // /proc/*/ns/net finds it instead of making one anew: several times faster.
        m_namespace = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        sys::Error ignored;
        m_kernel = rtnl::connect(&ignored, RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE);
        if (!m_kernel || nl_socket_set_nonblocking(m_kernel.get()) < 0)
            return close();
    }
    if (m_files < 0)
        m_files = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // The watch stays right until an event in it or another folder.
    if (m_watch < 0 || m_filesChanged || folder != m_folder) {
        const int watch = m_files < 0 ? -1 : watchFolder(m_files, folder);
        if (watch < 0)
            return close();
        if (m_watch >= 0 && m_watch != watch)
            inotify_rm_watch(m_files, m_watch);
        m_watch = watch;
        m_folder = folder;
    }
    // What is queued now happened before the reading that follows.
    m_armed = drain(nl_socket_get_fd(m_kernel.get())) && (!m_filesChanged || drain(m_files));
    m_filesChanged = false;
}

void ChangeWatch::drop()
{
    m_armed = false;
}

bool ChangeWatch::unchanged()
{
    if (!m_armed || m_forks != netns::forks() || netns::current() != m_watched)
        return false;
    // Anything queued, an overflow (ENOBUFS shows as POLLERR) or an inotify
    // event is a change.
    pollfd fds[] = {{nl_socket_get_fd(m_kernel.get()), POLLIN, 0}, {m_files, POLLIN, 0}};
    if (::poll(fds, 2, 0) == 0)
        return true;
    m_filesChanged = fds[1].revents != 0;
    return false;
}
