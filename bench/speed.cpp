// How the adapter query and the window's start-up grow with the number of
// interfaces, each beside its floor, in network namespaces of the benchmark's
// own (one per count, gone when its process ends):
//
// - one getAddress against one raw rtnetlink dump of links, IPv4 addresses and
//   IPv4 routes over one socket plus QNetworkInterface::interfaceFromName,
//   which the query itself must call. "cold" follows a kernel change, so the
//   query reads the kernel; "warm" follows another query;
// - the program's start-up in a fresh process (application object and style,
//   window built, shown and closed) against the same with an empty
//   QMainWindow, and at many interfaces against one floor query per interface;
// - the peak RSS of that start-up.
//
//   bench_speed [pairs ...]     (root; default 1 50 500 veth pairs)
//   bench_speed --once window|form
//                               one start-up in this process and network
//                               namespace, for strace, perf or callgrind
#include "application.h"
#include "daverirido.h"
#include "kernel/rtnl.h"
#include "ui_daverirido.h"
#include "windowchanger.h"

#include <QApplication>
#include <QMainWindow>
#include <QNetworkInterface>
#include <QStyleFactory>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <linux/rtnetlink.h>
#include <map>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Results = std::map<std::string, double>;

double seconds(const std::function<void()> &work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// The floor of a query: the three tables over one socket, every message
// walked, nothing kept.
int rawDump()
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    int messages = 0;
    static char buffer[1 << 16];
    uint32_t seq = 0;
    for (const int type : {RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE}) {
        struct {
            nlmsghdr header;
            rtgenmsg body;
        } request {};
        request.header.nlmsg_len = sizeof request;
        request.header.nlmsg_type = type;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = ++seq;
        request.body.rtgen_family = type == RTM_GETLINK ? AF_UNSPEC : AF_INET;
        if (send(fd, &request, sizeof request, 0) < 0)
            break;
        for (bool done = false; !done;) {
            int n = int(recv(fd, buffer, sizeof buffer, 0));
            if (n <= 0)
                break;
            for (auto *h = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(h, n); h = NLMSG_NEXT(h, n)) {
                done = h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR;
                if (done)
                    break;
                ++messages;
            }
        }
    }
    close(fd);
    return messages;
}

// N veth pairs, both ends up; each near end with an address, the first one
// also with a default route, as an adapter in use has.
bool makePairs(int pairs)
{
    FILE *ip = popen("ip -batch -", "w");
    if (!ip)
        return false;
    for (int i = 1; i <= pairs; ++i) {
        std::fprintf(ip, "link add bv%d type veth peer name bv%d-p\nlink set bv%d up\nlink set bv%d-p up\n", i, i, i, i);
        std::fprintf(ip, "addr add 10.%d.%d.1/30 dev bv%d\n", 100 + i / 250, i % 250, i);
    }
    std::fprintf(ip, "route add default via 10.100.1.2 dev bv1\n");
    return pclose(ip) == 0;
}

long peakRssKb()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Runs `work` in a child process, which writes "key value" lines to the
// pipe it is handed, and collects them.
Results forked(const std::function<Results()> &work)
{
    int fds[2];
    if (pipe(fds) != 0)
        std::exit(1);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        FILE *out = fdopen(fds[1], "w");
        for (const auto &[key, value] : work())
            std::fprintf(out, "%s %.9g\n", key.c_str(), value);
        std::fclose(out);
        _exit(0);
    }
    close(fds[1]);
    Results r;
    FILE *in = fdopen(fds[0], "r");
    char key[64];
    double value;
    while (std::fscanf(in, "%63s %lf", key, &value) == 2)
        r[key] = value;
    std::fclose(in);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || r.empty())
        std::exit(1);
    return r;
}

std::unique_ptr<QApplication> application()
{
    static int argc = 1;
    static char name[] = "bench_speed";
    static char *argv[] = {name, nullptr};
    vantorel::prepareApplication();
    auto app = std::make_unique<QApplication>(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Plastique")));
    return app;
}

// A program's start-up in a fresh process, as its main() does it: the
// application object and its style, the window built, shown and closed.
template <typename Window>
Results startUp()
{
    Results r;
    r["seconds"] = seconds([] {
        const auto app = application();
        Window window;
        window.show();
        QCoreApplication::processEvents();
        window.close();
        QCoreApplication::processEvents();
    });
    r["rss_kb"] = peakRssKb();
    return r;
}

// The window's form alone, in the window's font, built and shown without asking
// the system anything: what of the start-up is the form's own.
class FormOnly : public QMainWindow, public Ui_Daverirido
{
public:
    FormOnly()
    {
        QFont font = QApplication::font();
        font.setPixelSize(12);
        QApplication::setFont(font);
        setupUi(this);
    }
};

// An empty window as large as the form: what of the start-up is the form's
// pixels rather than its widgets.
class EmptyOfFormSize : public QMainWindow
{
public:
    EmptyOfFormSize() { resize(680, 322); }
};

// Everything for one count of pairs, in a namespace of this process's own.
Results measure(int pairs)
{
    Results r;
    if (unshare(CLONE_NEWNET) != 0 || !makePairs(pairs)) {
        std::fprintf(stderr, "can't make %d veth pairs in a namespace of our own (root?)\n", pairs);
        std::exit(1);
    }
    sleep(1);   // the links' own start-up notifications die down

    // The floor query around each start-up too: a start-up at many interfaces
    // takes long enough for the machine's other load to change meanwhile.
    const int startupRounds = pairs >= 500 ? 2 : pairs >= 50 ? 5 : 31;
    std::vector<double> startup, empty, emptyOfFormSize, form, floor;
    const auto floorQueries = [&floor] {
        for (int i = 0; i < 5; ++i)
            floor.push_back(seconds([] { rawDump(); }) + seconds([] { QNetworkInterface::interfaceFromName("bv1"); }));
    };
    // Each round starts with another of the four: the first start-up after
    // the floor queries runs on colder caches than the three after it.
    const std::vector<std::function<void()>> kinds = {
        [&] {
            const Results window = forked(startUp<davErirido>);
            startup.push_back(window.at("seconds"));
            r["rss_kb"] = window.at("rss_kb");
        },
        [&] { empty.push_back(forked(startUp<QMainWindow>).at("seconds")); },
        [&] { emptyOfFormSize.push_back(forked(startUp<EmptyOfFormSize>).at("seconds")); },
        [&] { form.push_back(forked(startUp<FormOnly>).at("seconds")); },
    };
    for (int i = 0; i < startupRounds; ++i) {
        floorQueries();
        for (std::size_t k = 0; k < kinds.size(); ++k)
            kinds[(i + k) % kinds.size()]();
    }
    floorQueries();
    r["startup"] = median(startup);
    r["empty_window"] = median(empty);
    r["empty_window_of_form_size"] = median(emptyOfFormSize);
    r["form_only"] = median(form);
    r["startup_query_floor"] = median(floor);

    const auto app = application();
    r["interfaces"] = QNetworkInterface::allInterfaces().size();

    // Interleaved, so that the machine's other load falls on all alike.
    const int rounds = pairs >= 500 ? 15 : 100;
    const QString adapter = QStringLiteral("bv1");
    windowChanger changer;
    rtnl::Address4 toggled;
    rtnl::fromText("10.255.255.1", &toggled.address);
    toggled.prefix = 32;
    std::vector<double> raw, fromName, all, cold, warm;
    bool found = true;
    for (int i = 0; i < rounds; ++i) {
        raw.push_back(seconds([] { rawDump(); }));
        fromName.push_back(seconds([&] { QNetworkInterface::interfaceFromName(adapter); }));
        all.push_back(seconds([] { QNetworkInterface::allInterfaces(); }));
        // A change on loopback, which the query doesn't show, drops what it read.
        if (i % 2 ? rtnl::deleteAddress(1, toggled).size() : rtnl::addAddress(1, toggled).size())
            std::fprintf(stderr, "can't change the loopback address\n");
        cold.push_back(seconds([&] { found = changer.getAddress(adapter).status == 1 && found; }));
        warm.push_back(seconds([&] { found = changer.getAddress(adapter).status == 1 && found; }));
    }
    if (!found)
        std::fprintf(stderr, "the query did not find %s\n", qPrintable(adapter));
    r["raw_dump"] = median(raw);
    r["interface_from_name"] = median(fromName);
    r["all_interfaces"] = median(all);
    r["getaddress_cold"] = median(cold);
    r["getaddress_warm"] = median(warm);
    return r;
}

std::string ms(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, s < 0.01 ? "%.3f ms" : "%.1f ms", s * 1000);
    return text;
}

// target 0: a ratio for the reader, with no target at this count.
void line(const char *what, int pairs, double value, double floor, double target = 0)
{
    std::printf("%-38s %4d pairs %10s  floor %10s  ratio %7.2fx", what, pairs, ms(value).c_str(), ms(floor).c_str(),
                value / floor);
    if (target > 0)
        std::printf("  target %.1fx %s", target, value / floor <= target ? "ok" : "MISSED");
    std::printf("\n");
}

} // namespace

int main(int argc, char *argv[])
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (argc == 3 && std::string(argv[1]) == "--once") {
        const Results r = std::string(argv[2]) == "form" ? startUp<FormOnly>() : startUp<davErirido>();
        std::printf("%s start-up %s\n", argv[2], ms(r.at("seconds")).c_str());
        return 0;
    }
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty())
        counts = {1, 50, 500};

    std::map<int, Results> results;
    for (const int pairs : counts) {
        results[pairs] = forked([pairs] { return measure(pairs); });
        std::fprintf(stderr, "%d pairs measured\n", pairs);
    }

    for (const auto &[pairs, r] : results) {
        const double query = r.at("raw_dump") + r.at("interface_from_name");
        std::printf("\n%d pairs, %d interfaces: raw dump %s, interfaceFromName %s, allInterfaces %s\n", pairs,
                    int(r.at("interfaces")), ms(r.at("raw_dump")).c_str(), ms(r.at("interface_from_name")).c_str(),
                    ms(r.at("all_interfaces")).c_str());
        const bool fewest = pairs == results.begin()->first, most = pairs == results.rbegin()->first;
        line("getAddress after a kernel change", pairs, r.at("getaddress_cold"), query, 2);
        line("getAddress after a getAddress", pairs, r.at("getaddress_warm"), query, 2);
        line("start-up vs empty window", pairs, r.at("startup"), r.at("empty_window"), fewest ? 1.5 : 0);
        line("start-up vs interfaces x query floor", pairs, r.at("startup"), r.at("interfaces") * r.at("startup_query_floor"),
             most ? 1.5 : 0);
        line("start-up vs empty window of its size", pairs, r.at("startup"), r.at("empty_window_of_form_size"));
        line("start-up vs the form alone", pairs, r.at("startup"), r.at("form_only"));
    }
    const int fewest = results.begin()->first, most = results.rbegin()->first;
    const double ratio = results[most].at("rss_kb") / results[fewest].at("rss_kb");
    std::printf("\npeak RSS after start-up: %d pairs %.1f MB, %d pairs %.1f MB, ratio %.2fx (target 1.5x) %s\n", fewest,
                results[fewest].at("rss_kb") / 1024, most, results[most].at("rss_kb") / 1024, ratio,
                ratio <= 1.5 ? "ok" : "MISSED");
    return 0;
}
