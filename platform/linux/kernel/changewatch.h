// Whether anything that one reading of the adapter table rests on has changed
// since the reading began: the links, IPv4 addresses and IPv4 routes of the
// network namespace (rtnetlink notifications), the files of a records folder
// (inotify), and the network namespace the calling thread is in.
#pragma once

#include <string>
#include <sys/types.h>

struct nl_sock;

class ChangeWatch
{
public:
    ChangeWatch() = default;
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch &) = delete;
    ChangeWatch &operator=(const ChangeWatch &) = delete;

    // Starts watching the calling thread's namespace and `folder`, which need
    // not exist yet. Call it before reading, so that a change made while the
    // reading runs shows up afterwards.
    void arm(const std::string &folder);
    // True when nothing has changed since arm(), and the calling thread is
    // still in that namespace. A watch that could not be set up never says
    // unchanged.
    bool unchanged();
    // Forgets the reading: the next unchanged() is false.
    void drop();
    // The namespace of the last arm().
    dev_t namespaceDevice() const { return m_namespaceDevice; }
    ino_t namespaceInode() const { return m_namespaceInode; }

private:
    void close();

    bool m_armed = false;
    nl_sock *m_kernel = nullptr;
    int m_files = -1;   // inotify
    int m_watch = -1;
    int m_namespace = -1;
    bool m_filesChanged = false;
    dev_t m_namespaceDevice = 0;
    ino_t m_namespaceInode = 0;
    unsigned m_forks = 0;
    std::string m_folder;
};
