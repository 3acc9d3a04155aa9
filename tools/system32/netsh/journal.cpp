#include "journal.h"

#include "dhcpclient.h"
#include "process.h"
#include "text.h"

#include "kernel/procfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace netsh {

namespace {

using verbatim::Message;

std::string fileOf(const std::string &ifname, const char *suffix)
{
    return records::namespaceDir() + "/" + ifname + suffix;
}

std::string hexOf(const Message &m)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : m) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

bool messageOf(const std::string &hex, Message *m)
{
    if (hex.size() % 2 || hex.size() < 2 * NLMSG_HDRLEN || hex.size() > 2 * 65536)
        return false;
    m->clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const std::string pair = hex.substr(i, 2);
        if (pair.find_first_not_of("0123456789abcdef") != std::string::npos)
            return false;
        m->push_back(uint8_t(std::stoi(pair, nullptr, 16)));
    }
    return reinterpret_cast<const nlmsghdr *>(m->data())->nlmsg_len == m->size();
}

// A regular file of ours, read whole (1 MiB at most); false for anything else.
bool readOwnFile(const std::string &path, std::string *content)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= (1 << 20);
    content->clear();
    char buffer[4096];
    ssize_t n = 0;
    while (ok && (n = ::read(fd, buffer, sizeof buffer)) > 0 && content->size() <= (1u << 20))
        content->append(buffer, std::size_t(n));
    ::close(fd);
    return ok && n == 0;
}

struct Journal {
    Before before;
    Target target;
    int ifindex = 0;
};

std::string journalText(const rtnl::Link &link, const Before &before, const Target &target)
{
    std::ostringstream out;
    out << "ifindex " << link.index << "\npromote " << before.promote << "\nclient " << before.clientRunning
        << "\ntarget " << (target.dhcp ? "dhcp" : "static") << "\n";
    for (const rtnl::Address4 &a : target.config.addresses)
        out << "want-address " << a.address << " " << a.prefix << "\n";
    for (const rtnl::Route4 &r : target.config.routes)
        out << "want-route " << r.gateway << " " << r.metric << " " << r.protocol << "\n";
    for (const Message &m : before.kernel.addresses)
        out << "address " << hexOf(m) << "\n";
    for (const Message &m : before.kernel.routes)
        out << "route " << hexOf(m) << "\n";
    out << "end\n";
    return out.str();
}

bool parseJournal(const std::string &text, Journal *journal)
{
    std::istringstream in(text);
    std::string line;
    bool complete = false;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        Message m;
        std::string hex;
        if (key == "ifindex") {
            fields >> journal->ifindex;
        } else if (key == "promote") {
            fields >> journal->before.promote;
        } else if (key == "client") {
            fields >> journal->before.clientRunning;
        } else if (key == "target") {
            fields >> hex;
            journal->target.dhcp = hex == "dhcp";
        } else if (key == "want-address") {
            rtnl::Address4 a;
            fields >> a.address >> a.prefix;
            journal->target.config.addresses.push_back(a);
        } else if (key == "want-route") {
            rtnl::Route4 r;
            fields >> r.gateway >> r.metric >> r.protocol;
            journal->target.config.routes.push_back(r);
        } else if ((key == "address" || key == "route") && fields >> hex && messageOf(hex, &m)) {
            (key == "address" ? journal->before.kernel.addresses : journal->before.kernel.routes).push_back(m);
        } else if (key == "end") {
            complete = true;
        } else {
            return false;
        }
        if (fields.fail())
            return false;
    }
    return complete;
}

void removeJournal(const std::string &ifname)
{
    ::unlink(fileOf(ifname, ".journal").c_str());
}

// Puts back the addresses, routes, record and DHCP client of before the change.
sys::Error rollBack(const rtnl::Link &link, const Before &before, const Environment &environment)
{
    // A client this change started goes first, or it would bring its lease back.
    const int started = clientOf(link.name);
    if (started && !before.clientRunning)
        stopClient(started);
    sys::Error error = verbatim::restore(link, before.kernel);
    if (!before.promote.empty())
        procfs::setPromoteSecondaries(link.name, before.promote);
    records::InterfaceState state = before.state;
    if (before.clientRunning && !isRunningClient(state.clientPid)) {
        int pid = 0;
        const sys::Error restarted = startClient(link.name, environment, &pid);
        state.clientPid = pid;
        if (error.empty())
            error = restarted;
    }
    records::save(link, state);
    return error;
}

} // namespace

sys::Error lockInterface(const std::string &ifname)
{
    // Records that another user could replace or redirect are refused.
    std::string unsafe;
    const std::string dir = records::namespaceDir(&unsafe);
    if (dir.empty())
        return unsafe;
    const std::string path = fileOf(ifname, ".lock");
    // Left open until netsh ends, which lets the lock go.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return "The record folder " + dir + " can't be used: " + path + ": " + std::strerror(errno ? errno : EINVAL) + ".";
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR || interruption())
            return interruption() ? interruptionText() : path + " can't be locked: " + std::strerror(errno) + ".";
    }
    return sys::Error();
}

sys::Error recover(const rtnl::Link &link, const Environment &environment)
{
    const std::string path = fileOf(link.name, ".journal");
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return sys::Error();
    std::string text;
    Journal journal;
    if (!readOwnFile(path, &text) || !parseJournal(text, &journal))
        return "The unfinished change's journal " + path + " can't be read; it is left for a look.";
    // Written for an earlier interface of the same name: nothing to finish.
    if (journal.ifindex != link.index) {
        removeJournal(link.name);
        return sys::Error();
    }
    std::string damage;
    if (!records::load(link, &journal.before.state, &damage) && !damage.empty())
        return damage;
    Config now;
    sys::Error error = readConfig(link.index, &now);
    if (!error.empty())
        return error;
    const records::InterfaceState &record = journal.before.state;
    const bool done = journal.target.dhcp ? record.method == "dhcp" && isRunningClient(record.clientPid)
                                          : matches(now, journal.target.config) && !clientOf(link.name);
    if (done && !journal.target.dhcp) {
        records::InterfaceState state = record;
        state.method = "static";
        state.addresses = records::addressesText(journal.target.config.addresses);
        state.clientPid = 0;
        if (!records::save(link, state))
            return recordError(link.name);
        records::forgetLease(link);
    } else if (!done) {
        if (!(error = rollBack(link, journal.before, environment)).empty())
            return error;
    }
    if (!journal.before.promote.empty())
        procfs::setPromoteSecondaries(link.name, journal.before.promote);
    removeJournal(link.name);
    return sys::Error();
}

bool readBefore(const rtnl::Link &link, Before *before, std::string *error)
{
    sys::Error failure = verbatim::save(link.index, &before->kernel);
    if (failure.empty())
        failure = readConfig(link.index, &before->config);
    if (!failure.empty())
        return fail(error, failure);
    std::string damage;
    if (!records::load(link, &before->state, &damage) && !damage.empty())
        return fail(error, damage);
    before->clientRunning = isRunningClient(before->state.clientPid);
    before->promote = procfs::promoteSecondaries(link.name);
    return true;
}

sys::Error writeJournal(const rtnl::Link &link, const Before &before, const Target &target)
{
    const std::string path = fileOf(link.name, ".journal");
    const std::string temporary = path + ".new";
    const std::string text = journalText(link, before, target);
    // Only this netsh (it holds the lock) writes here; a file already there is
    // a leftover, a link someone planted is never followed.
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0)
        ::close(fd);
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0)
        return sys::Error();
    ::unlink(temporary.c_str());
    return "The journal can't be written in " + records::namespaceDir() + ": " + std::strerror(errno) + ".";
}

std::string recordError(const std::string &ifname)
{
    return "The record of " + inQuotes(ifname) + " can't be written in " + records::namespaceDir() + ".";
}

bool finish(const rtnl::Link &link, const Before &before, const Environment &environment,
            const sys::Error &failure, std::string *error)
{
    if (failure.empty() && interruption())
        return finish(link, before, environment, interruptionText(), error);
    if (failure.empty()) {
        removeJournal(link.name);
        return true;
    }
    // A rollback that did not get through leaves the journal for the next run.
    const sys::Error undone = rollBack(link, before, environment);
    if (undone.empty())
        removeJournal(link.name);
    return fail(error, undone.empty() ? failure : failure + " Putting the interface back failed: " + undone);
}

} // namespace netsh
