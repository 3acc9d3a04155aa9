#include "changewatch_linux.h"

#include <netlink/netlink.h>
#include <netlink/socket.h>

#include <cerrno>
#include <filesystem>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The calling thread's network namespace: a thread may have setns()'d away
// from the rest of the process. While the watch's socket lives, the namespace
// it was made in lives too, so its inode can't pass to another one.
bool currentNamespace(dev_t *device, ino_t *inode)
{
    struct stat st;
    if (::stat("/proc/thread-self/ns/net", &st) != 0)
        return false;
    *device = st.st_dev;
    *inode = st.st_ino;
    return true;
}

// Every change of a record: written in place, renamed into place, removed,
// and the folder itself going away.
constexpr uint32_t folderEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM
    | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

// A folder that doesn't exist yet is watched through its nearest existing
// parent, for the creation that leads to it.
bool watchFolder(int fd, const std::string &folder)
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(folder, error);
    if (error)
        return false;
    if (inotify_add_watch(fd, path.c_str(), folderEvents | IN_ONLYDIR) >= 0)
        return true;
    while ((errno == ENOENT || errno == ENOTDIR) && path.has_relative_path()) {
        path = path.parent_path();
        if (inotify_add_watch(fd, path.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF) >= 0)
            return true;
    }
    return false;
}

} // namespace

ChangeWatch::~ChangeWatch()
{
    drop();
}

void ChangeWatch::drop()
{
    if (m_kernel)
        nl_socket_free(m_kernel);
    m_kernel = nullptr;
    if (m_files >= 0)
        ::close(m_files);
    m_files = -1;
}

void ChangeWatch::arm(const std::string &folder)
{
    drop();
    m_folder = folder;
    if (!currentNamespace(&m_namespaceDevice, &m_namespaceInode))
        return;
    m_kernel = nl_socket_alloc();
    m_files = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (!m_kernel || m_files < 0)
        return drop();
    // Notifications only: the socket never sends, so no sequence numbers.
    nl_socket_disable_seq_check(m_kernel);
    nl_join_groups(m_kernel, RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE);
    if (nl_connect(m_kernel, NETLINK_ROUTE) < 0 || nl_socket_set_nonblocking(m_kernel) < 0
        || !watchFolder(m_files, folder))
        drop();
}

bool ChangeWatch::unchanged(const std::string &folder) const
{
    dev_t device;
    ino_t inode;
    if (!m_kernel || folder != m_folder || !currentNamespace(&device, &inode) || device != m_namespaceDevice
        || inode != m_namespaceInode)
        return false;
    // Anything queued, an overflow (ENOBUFS shows as POLLERR) or an inotify
    // event is a change.
    pollfd fds[] = {{nl_socket_get_fd(m_kernel), POLLIN, 0}, {m_files, POLLIN, 0}};
    return ::poll(fds, 2, 0) == 0;
}
