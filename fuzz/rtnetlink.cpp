// The kernel's messages as the kernel room reads them: the first byte picks
// the message type (link, address, route), the rest is the message itself,
// header included, whose length field is made to fit what there is.
#include "kernel/parse.h"

#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 + NLMSG_HDRLEN)
        return 0;
    // Aligned as a socket's buffer is.
    std::vector<uint32_t> buffer((size - 1 + 3) / 4);
    std::memcpy(buffer.data(), data + 1, size - 1);
    auto *h = reinterpret_cast<nlmsghdr *>(buffer.data());
    h->nlmsg_len = uint32_t(size - 1);
    static const uint16_t types[] = {RTM_NEWLINK, RTM_NEWADDR, RTM_NEWROUTE};
    h->nlmsg_type = types[data[0] % 3];
    rtnl::Link link;
    int ifindex = 0;
    rtnl::Address4 address;
    rtnl::parse::Route route;
    rtnl::Route4 through;
    if (rtnl::parse::route(h, &route))
        route.defaultThrough(route.hops.empty() ? 0 : route.hops.front().first, &through);
    rtnl::parse::link(h, &link);
    rtnl::parse::address(h, &ifindex, &address);
    return 0;
}
