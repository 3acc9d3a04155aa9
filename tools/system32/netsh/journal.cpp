#include "journal.h"

#include "dhcpclient.h"
#include "process.h"
#include "resolver.h"
#include "text.h"

#include "kernel/procfs.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sstream>
#include <tuple>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace netsh {

namespace {

// How long netsh waits for another change of the interface, in ms.
const int lockWaitMs = 20000;


using verbatim::Message;

std::string fileOf(const std::string &ifname, const char *suffix)
{
    return records::namespaceDir() + "/" + ifname + suffix;
}

template <typename Bytes>
std::string hexOf(const Bytes &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const auto byte : bytes) {
        text += digits[uint8_t(byte) >> 4];
        text += digits[uint8_t(byte) & 15];
    }
    return text;
}

template <typename Bytes>
bool fromHex(const std::string &hex, Bytes *bytes)
{
    if (hex.size() % 2 || hex.size() > 2 * 65536)
        return false;
    bytes->clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const std::string pair = hex.substr(i, 2);
        if (pair.find_first_not_of("0123456789abcdef") != std::string::npos)
            return false;
        bytes->push_back(typename Bytes::value_type(std::stoi(pair, nullptr, 16)));
    }
    return true;
}

bool messageOf(const std::string &hex, Message *m)
{
    return hex.size() >= 2 * NLMSG_HDRLEN && fromHex(hex, m)
        && reinterpret_cast<const nlmsghdr *>(m->data())->nlmsg_len == m->size();
}

// A text field of the journal: "x" and its bytes in hex, so that it is one
// word even when empty.
std::string field(const std::string &text)
{
    return "x" + hexOf(text);
}

bool readField(std::istream &in, std::string *text)
{
    std::string word;
    return in >> word && word[0] == 'x' && fromHex(word.substr(1), text);
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
    ino_t clientMounts = 0;     // the DHCP client the change started, by its mount namespace
    bool dns = false;           // a DNS change, with dnsBefore
    DnsBefore dnsBefore;
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
            journal->dns = hex == "dns";
        } else if (key == "client-mounts") {
            fields >> journal->clientMounts;
        } else if (key == "dns") {
            if (!readField(fields, &journal->dnsBefore.dnsSource) || !readField(fields, &journal->dnsBefore.staticDns)
                || !(fields >> journal->dnsBefore.resolverFile) || !readField(fields, &journal->dnsBefore.resolver))
                return false;
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
sys::Error rollBack(const rtnl::Link &link, const Before &before, const Environment &environment,
                    ino_t clientMounts = 0)
{
    // A client this change started goes first, or it would bring its lease
    // back; a killed netsh may have left it starting, before its pid file.
    const int started = clientOf(link.name);
    if (started && !before.clientRunning)
        stopClient(started);
    stopStarted(clientMounts);
    // The change may have told the client of before to end; one still ending
    // would leave the interface without a client, so a fresh one takes over.
    if (before.clientRunning)
        stopClient(before.state.clientPid, before.state.clientMounts);
    sys::Error error = verbatim::restore(link, before.kernel);
    if (!before.promote.empty())
        procfs::setPromoteSecondaries(link.name, before.promote);
    records::InterfaceState state = before.state;
    if (before.clientRunning && !isRunningClient(state.clientPid)) {
        int pid = 0;
        ino_t mounts = 0;
        const sys::Error restarted = startClient(link.name, environment, &pid, &mounts);
        state.clientPid = pid;
        state.clientMounts = mounts;
        if (error.empty())
            error = restarted;
    }
    // A record that says the same stays as it is, or stays away.
    records::InterfaceState now;
    records::load(link, &now);
    const auto fields = [](const records::InterfaceState &s) {
        return std::tie(s.method, s.addresses, s.dnsSource, s.staticDns, s.clientPid, s.clientMounts, s.savedAddresses, s.savedRoutes);
    };
    if (fields(now) != fields(state))
        records::save(link, state);
    return error;
}

// The servers the record gives the interface: its static one, else its lease's.
std::vector<std::string> serversOf(const rtnl::Link &link, const records::InterfaceState &state)
{
    if (state.dnsSource == "static")
        return {state.staticDns};
    records::Lease lease;
    return state.dnsSource == "dhcp" && records::loadLease(link, &lease) ? words(lease.dns) : std::vector<std::string>();
}

sys::Error rollBack(const rtnl::Link &link, const DnsBefore &before)
{
    records::InterfaceState state;
    std::string damage;
    if (!records::load(link, &state, &damage) && !damage.empty())
        return damage;
    const std::string server = state.staticDns;
    state.dnsSource = before.dnsSource;
    state.staticDns = before.staticDns;
    if (!records::save(link, state))
        return recordError(link.name);
    return before.resolverFile ? putResolverFile(before.resolver) : setResolver(link.name, serversOf(link, state), server);
}

sys::Error writeJournalText(const rtnl::Link &link, const std::string &text)
{
    const std::string path = fileOf(link.name, ".journal");
    const std::string temporary = path + ".new";
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
    // Non-blocking: whatever else was planted there can't hold netsh up.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return "The record folder " + dir + " can't be used: " + path + ": " + std::strerror(errno) + ".";
    if (!S_ISREG(st.st_mode))
        return "The record folder " + dir + " can't be used: " + path + " is not a regular file.";
    // Another change of the interface ends within its own time limits; one
    // that holds the lock longer is stuck, and netsh must end in its own time.
    for (int waited = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; waited += 10) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return path + " can't be locked: " + std::strerror(errno) + ".";
        if (interruption())
            return interruptionText();
        if (waited >= lockWaitMs)
            return "Another change of " + inQuotes(ifname) + " has not ended within " + std::to_string(lockWaitMs / 1000)
                + " s; nothing was changed.";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
    if (journal.dns) {
        const sys::Error error = rollBack(link, journal.dnsBefore);
        if (error.empty())
            removeJournal(link.name);
        return error;
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
        // The client of before may still be ending, with helpers whose parent
        // has gone: they end before the record forgets them.
        const sys::Error stopped = stopClient(record.clientPid, record.clientMounts);
        if (!stopped.empty())
            return stopped;
        records::InterfaceState state = record;
        state.method = "static";
        state.addresses = records::addressesText(journal.target.config.addresses);
        state.clientPid = 0;
        state.clientMounts = 0;
        if (!records::save(link, state))
            return recordError(link.name);
        records::forgetLease(link);
    } else if (!done) {
        if (!(error = rollBack(link, journal.before, environment, journal.clientMounts)).empty())
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
    return writeJournalText(link, journalText(link, before, target));
}

sys::Error writeJournal(const rtnl::Link &link, const DnsBefore &before)
{
    return writeJournalText(link, "ifindex " + std::to_string(link.index) + "\ntarget dns\ndns " + field(before.dnsSource)
                                      + " " + field(before.staticDns) + " " + std::to_string(before.resolverFile) + " "
                                      + field(before.resolver) + "\nend\n");
}

bool noteClient(const rtnl::Link &link, ino_t mounts)
{
    const int fd = ::open(fileOf(link.name, ".journal").c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    const std::string line = "client-mounts " + std::to_string(mounts) + "\n";
    const bool ok = fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size());
    if (fd >= 0)
        ::close(fd);
    return ok;
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

bool finish(const rtnl::Link &link, const DnsBefore &before, const sys::Error &failure, std::string *error)
{
    if (failure.empty() && interruption())
        return finish(link, before, interruptionText(), error);
    const sys::Error undone = failure.empty() ? sys::Error() : rollBack(link, before);
    if (undone.empty())
        removeJournal(link.name);
    return failure.empty() || fail(error, undone.empty() ? failure : failure + " Putting the DNS server back failed: " + undone);
}

} // namespace netsh
