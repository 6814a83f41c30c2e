// The message header of one datagram sent on Linux, shared by the socket calls and the
// submission ring.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/udp_socket.h"

namespace tavorin {

// Room for one IP_PKTINFO control message, aligned as control messages must be.
struct PacketInfoControl {
  alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

// One message header for sending `datagram`; its source address, if it has one, rides along
// and the interface is the routing's.
inline void PrepareSend(const OutgoingDatagram& datagram, msghdr& header, iovec& part,
                        PacketInfoControl& control) {
  part = {const_cast<void*>(datagram.data), datagram.length};
  header = {};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_name = const_cast<Endpoint*>(datagram.to);
  header.msg_namelen = sizeof(Endpoint);
  if (datagram.from_address != 0) {
    header.msg_control = control.bytes;
    header.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = datagram.from_address;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
}

}  // namespace tavorin
