#include "records/records.h"

#include "kernel/netns.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace records {

namespace {

// A record is a few short lines; anything larger is not one of ours.
constexpr off_t maxRecordSize = 64 * 1024;

using Fields = std::map<std::string, std::string>;

void report(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

// Root keeps the records that everyone reads. Another user (a desktop user
// changing an adapter through NetworkManager) writes only what is its own,
// the class key and the profile a restart brings back, in its runtime folder.
std::string stateRoot(bool writing = false)
{
    const char *root = std::getenv("VANTOREL_STATE_DIR");
    if (root && *root)
        return root;
    const char *own = std::getenv("XDG_RUNTIME_DIR");
    if (writing && ::geteuid() != 0 && own && *own == '/')
        return std::string(own) + "/vantorel";
    return "/run/vantorel";
}

std::string folder(bool writing = false)
{
    return stateRoot(writing) + "/net-" + netns::folderName();
}

// A folder we keep records in: a real directory that nobody else can change,
// or another user could plant links or files there. That holds for whatever we
// write, and for what root reads.
bool safeFolder(const std::string &path, bool create, std::string *error)
{
    if (create && ::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        report(error, path + " can't be made: " + std::strerror(errno) + ".");
        return false;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        report(error, path + " can't be read: " + std::strerror(errno) + ".");
        return false;
    }
    const bool mustBeOurs = create || ::geteuid() == 0;
    std::string problem;
    if (S_ISLNK(st.st_mode))
        problem = "is a symbolic link";
    else if (!S_ISDIR(st.st_mode))
        problem = "is not a folder";
    else if (mustBeOurs && st.st_uid != ::geteuid())
        problem = ::geteuid() == 0 ? "is not owned by root" : "is not owned by this user";
    else if (mustBeOurs && (st.st_mode & (S_IWGRP | S_IWOTH)))
        problem = "can be written by other users";
    if (problem.empty())
        return true;
    report(error, "The record folder " + path + " " + problem + "; nothing is kept there.");
    return false;
}

// The folder for reading: empty when there is none yet or it is not safe.
std::string readFolder(std::string *error)
{
    const std::string dir = folder();
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 && errno == ENOENT)
        return std::string();
    return safeFolder(stateRoot(), false, error) && safeFolder(dir, false, error) ? dir : std::string();
}

enum class Read { Missing, Ok, Refused };

// A record file: a regular file of bounded size, never through a symbolic
// link, and opened so that a FIFO or a device can't make the reader wait.
Read readFile(const std::string &path, std::string *text, std::string *error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return Read::Missing;
        report(error, path + (errno == ELOOP ? std::string(" is a symbolic link")
                                             : std::string(" can't be read: ") + std::strerror(errno))
                   + ".");
        return Read::Refused;
    }
    struct stat st;
    std::string problem;
    if (::fstat(fd, &st) != 0)
        problem = std::string(" can't be read: ") + std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        problem = " is not a regular file";
    else if (st.st_size > maxRecordSize)
        problem = " is larger than a record can be";
    text->clear();
    char buffer[4096];
    while (problem.empty()) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            problem = std::string(" can't be read: ") + std::strerror(errno);
        if (n <= 0)
            break;
        text->append(buffer, size_t(n));
        if (text->size() > size_t(maxRecordSize))
            problem = " is larger than a record can be";
    }
    ::close(fd);
    if (problem.empty())
        return Read::Ok;
    report(error, path + problem + ".");
    return Read::Refused;
}

// Replaces the file with `content` at once (readers see the old record or the
// new one), through a temporary file of our own that nobody can have planted.
bool writeFile(const std::string &dir, const std::string &name, const std::string &content, std::string *error)
{
    const std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        report(error, path + " is not a regular file; it is left as it is.");
        return false;
    }
    std::string temp = dir + "/." + name + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        report(error, "A record can't be written in " + dir + ": " + std::strerror(errno) + ".");
        return false;
    }
    // Records are read by the program of whoever runs the window.
    bool ok = ::fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? size_t(n) : 0;
    }
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        report(error, path + " can't be written: " + std::strerror(errno) + ".");
        ::unlink(temp.c_str());
    }
    return ok;
}

// "key=value" lines. With `repeat`, a key given twice adds to its list (the
// dns= lines of a lease); otherwise that is damage.
bool parseFields(const std::string &text, bool repeat, Fields *fields, std::string *error)
{
    if (text.find('\0') != std::string::npos)
        return report(error, "it holds a NUL byte"), false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            return report(error, "the line \"" + line.substr(0, 40) + "\" is no key=value"), false;
        const std::string key = line.substr(0, eq);
        const bool known = fields->count(key);
        if (known && !repeat)
            return report(error, "the key " + key + " is given twice"), false;
        std::string &value = (*fields)[key];
        if (known && !value.empty())
            value += ' ';
        value += line.substr(eq + 1);
    }
    return true;
}

bool toPid(const std::string &text, int *pid)
{
    if (text.empty()) {
        *pid = 0;
        return true;
    }
    if (text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *pid = std::atoi(text.c_str());
    return true;
}

std::string oneLine(std::string value)
{
    for (char &c : value) {
        if (c == '\n' || c == '\r' || c == '\0')
            c = ' ';
    }
    return value;
}

std::string hex(const std::vector<uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string fileName(const rtnl::Link &link, const char *suffix)
{
    // The kernel refuses '/', blanks, "." and ".." in an interface name, so
    // the name serves as a file name.
    return link.name + suffix;
}

// The addresses of an "a.b.c.d/nn,..." list, as (address, prefix) pairs.
std::set<std::pair<uint32_t, int>> addressSet(const std::string &text, bool *ok)
{
    std::set<std::pair<uint32_t, int>> set;
    std::istringstream in(text);
    std::string item;
    *ok = true;
    while (std::getline(in, item, ',')) {
        const auto slash = item.find('/');
        uint32_t address = 0;
        int prefix = -1;
        if (slash != std::string::npos && item.size() - slash <= 3)
            prefix = std::atoi(item.c_str() + slash + 1);
        if (slash == std::string::npos || !rtnl::fromText(item.substr(0, slash), &address) || prefix < 0 || prefix > 32)
            *ok = false;
        else
            set.emplace(address, prefix);
    }
    return set;
}

} // namespace

std::string namespaceDir(std::string *error)
{
    const std::string dir = folder(true);
    const std::string root = stateRoot(true);
    // Folders above the root are the machine's; the root and ours must be safe.
    const auto slash = root.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        ::mkdir(root.substr(0, slash).c_str(), 0755);
    return safeFolder(root, true, error) && safeFolder(dir, true, error) ? dir : std::string();
}

std::string identityOf(const rtnl::Link &link)
{
    return std::to_string(link.index) + ' ' + (link.kind.empty() ? "device" : link.kind) + ' '
        + (link.permanent.empty() ? "address " + hex(link.address) : "permanent " + hex(link.permanent));
}

std::string namespaceFolder()
{
    return folder();
}

bool parseRecord(const std::string &text, std::string *identity, InterfaceState *state, std::string *error)
{
    Fields f;
    if (!parseFields(text, false, &f, error))
        return false;
    *identity = f["link"];
    state->method = f["method"];
    state->addresses = f["addresses"];
    state->dnsSource = f["dnsSource"];
    state->staticDns = f["staticDns"];
    state->savedAddresses = f["savedAddresses"];
    state->savedRoutes = f["savedRoutes"];
    if (identity->empty())
        return report(error, "it names no interface"), false;
    if (!toPid(f["clientPid"], &state->clientPid))
        return report(error, "clientPid is no process number"), false;
    const std::string &mounts = f["clientMounts"];
    if (mounts.size() > 19 || !std::all_of(mounts.begin(), mounts.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return report(error, "clientMounts is no namespace number"), false;
    state->clientMounts = std::strtoull(mounts.c_str(), nullptr, 10);
    return true;
}

bool parseLease(const std::string &text, Lease *lease, std::string *error)
{
    Fields f;
    if (!parseFields(text, true, &f, error))
        return false;
    lease->dns = f["dns"];
    lease->server = f["server"];
    return true;
}

std::set<std::string> recordedInterfaces(const std::string &folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::filesystem::path file = it->path().filename();
        if (file.extension() == ".state" || file.extension() == ".lease")
            names.insert(file.stem());
    }
    return names;
}

bool load(const rtnl::Link &link, InterfaceState *state, std::string *error)
{
    *state = InterfaceState();
    report(error, std::string());
    const std::string dir = readFolder(error);
    std::string text;
    if (dir.empty() || readFile(dir + "/" + fileName(link, ".state"), &text, error) != Read::Ok)
        return false;
    std::string identity;
    InterfaceState read;
    std::string why;
    if (!parseRecord(text, &identity, &read, &why)) {
        report(error, "The record " + dir + "/" + fileName(link, ".state") + " is damaged: " + why
                          + "; it is left as it is.");
        return false;
    }
    if (identity != identityOf(link))
        return false;
    *state = read;
    return true;
}

bool save(const rtnl::Link &link, const InterfaceState &state, std::string *error)
{
    const std::string dir = namespaceDir(error);
    if (dir.empty())
        return false;
    std::ostringstream out;
    out << "link=" << identityOf(link) << '\n'
        << "method=" << oneLine(state.method) << '\n'
        << "addresses=" << (state.method == "static" ? oneLine(state.addresses) : std::string()) << '\n'
        << "dnsSource=" << oneLine(state.dnsSource) << '\n'
        << "staticDns=" << oneLine(state.staticDns) << '\n'
        << "clientPid=" << std::max(state.clientPid, 0) << '\n'
        << "clientMounts=" << state.clientMounts << '\n'
        << "savedAddresses=" << oneLine(state.savedAddresses) << '\n'
        << "savedRoutes=" << oneLine(state.savedRoutes) << '\n';
    return writeFile(dir, fileName(link, ".state"), out.str(), error);
}

void forget(const rtnl::Link &link)
{
    const std::string dir = readFolder(nullptr);
    if (!dir.empty())
        ::unlink((dir + "/" + fileName(link, ".state")).c_str());
}

std::string addressesText(const std::vector<rtnl::Address4> &addresses)
{
    std::string text;
    for (const rtnl::Address4 &address : addresses)
        text += (text.empty() ? "" : ",") + rtnl::toText(address);
    return text;
}

bool holds(const InterfaceState &state, const std::vector<rtnl::Address4> &present)
{
    // A client without a server takes a link-local address, for good.
    if (state.method == "dhcp")
        return std::none_of(present.begin(), present.end(),
                            [](const rtnl::Address4 &a) { return a.permanent && (ntohl(a.address) >> 16) != 0xa9fe; });
    if (state.method != "static")
        return true;
    bool ok = false;
    const auto recorded = addressSet(state.addresses, &ok);
    std::set<std::pair<uint32_t, int>> now;
    for (const rtnl::Address4 &a : present)
        now.emplace(a.address, a.prefix);
    return ok && !recorded.empty() && recorded == now;
}

bool loadLease(const rtnl::Link &link, Lease *lease, std::string *error)
{
    *lease = Lease();
    InterfaceState state;
    if (!load(link, &state, error) || state.method != "dhcp")
        return false;
    const std::string dir = readFolder(error);
    std::string text;
    if (dir.empty() || readFile(dir + "/" + fileName(link, ".lease"), &text, error) != Read::Ok)
        return false;
    std::string why;
    if (parseLease(text, lease, &why))
        return true;
    *lease = Lease();
    report(error, "The lease " + dir + "/" + fileName(link, ".lease") + " is damaged: " + why + ".");
    return false;
}

void forgetLease(const rtnl::Link &link)
{
    const std::string dir = readFolder(nullptr);
    if (!dir.empty())
        ::unlink((dir + "/" + fileName(link, ".lease")).c_str());
}

} // namespace records
