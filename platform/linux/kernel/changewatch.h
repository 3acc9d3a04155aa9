// Whether anything that one reading of the adapter table rests on has changed
// since the reading began: the links, IPv4 addresses and IPv4 routes of the
// network namespace (rtnetlink notifications), the files of a records folder
// (inotify), and the network namespace the calling thread is in.
#pragma once

#include "kernel/netns.h"
#include "kernel/socket.h"

#include <string>

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
    netns::Id watched() const { return m_watched; }

private:
    void close();

    bool m_armed = false;
    rtnl::Socket m_kernel;
    int m_files = -1;   // inotify
    int m_watch = -1;
    int m_namespace = -1;
    bool m_filesChanged = false;
    netns::Id m_watched;
    unsigned m_forks = 0;
    std::string m_folder;
};
