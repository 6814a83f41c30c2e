// A UDP socket, IPv4 or IPv6 or both, that owns its descriptor.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/endpoint.h"
#include "platform/outcome.h"

namespace tavorin {

#ifdef _WIN32
using SocketHandle = uintptr_t;
inline constexpr SocketHandle kNoSocket = ~SocketHandle{0};
inline constexpr int kAddressInUse = 10048;     // WSAEADDRINUSE
inline constexpr int kNoAddressFamily = 10047;  // WSAEAFNOSUPPORT
inline constexpr int kMessageTooLong = 10040;   // WSAEMSGSIZE
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
inline constexpr int kAddressInUse = EADDRINUSE;
inline constexpr int kNoAddressFamily = EAFNOSUPPORT;
inline constexpr int kMessageTooLong = EMSGSIZE;
#endif

// One datagram of a batch receive: where it goes in, and what came.
struct ReceiveSlot {
  void* buffer;
  size_t capacity;
  // The bytes that came (0 for an empty datagram). For a datagram cut short, its whole length
  // where the system tells it (Linux), the buffer's capacity where it does not (Windows).
  size_t length;
  bool truncated;   // the datagram did not fit in the buffer and was cut short
  Endpoint source;  // an IPv4 source that came to a socket of both families in IPv4 form
  // The local address the datagram was sent to (port 0), on a socket that reports it
  // (ReportLocalAddress); none otherwise.
  Endpoint local;
  // The address a reply to it leaves from: the one it was sent to, except that a datagram sent
  // to a broadcast or multicast address is answered from the address of the interface that
  // took it (no datagram can leave from a broadcast address). None when not known, which lets
  // the routing choose.
  Endpoint reply_from;
  // On a socket that reports them (ReportSystemDrops), how many datagrams the system had dropped
  // on the socket, all told, when this one came: a count that wraps at 2^32. 0 otherwise, and
  // while it has dropped none.
  uint32_t system_drops;
};

// What a send or receive did: how many datagrams (or bytes) went or came, and the system's
// error code when the call failed (0 otherwise). A batch send also tells the bytes of the
// datagrams that went, which need not be the first `count` of the batch.
struct IoResult {
  int count = 0;
  int error = 0;
  size_t bytes = 0;
};

// One datagram of a batch send.
struct OutgoingDatagram {
  const void* data;
  size_t length;
  const Endpoint* to;
  // The local address to send from, of the family of `to`; none (or null) lets the routing
  // choose.
  const Endpoint* from;
  // Bytes that go out ahead of `data` in the same datagram, gathered by the system without a
  // copy of either; none when `prefix_length` is 0.
  // (No default values: a batch's array of these is filled, never cleared first.)
  const void* prefix;
  size_t prefix_length;
};

// The most datagrams one batch call takes.
inline constexpr int kMaxBatch = 64;

// The longest part a run to one destination may still be cut into (UdpSocket::SendRun), kept by
// whoever sends there: a route that refuses coalesced sends (longer parts than its MTU, a device
// that computes no checksums, a tunnel) lowers only its own senders' room, so that a client at
// the end of such a route, or one who forges an address there, slows nobody else.
struct RunRoom {
  size_t longest = 0xFFFF;
};

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket() { Close(); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  UdpSocket(UdpSocket&& other) noexcept : handle_(other.Release()), v6_(other.is_v6()) {}
  UdpSocket& operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
      Close();
      v6_.store(other.is_v6(), std::memory_order_relaxed);
      handle_.store(other.Release(), std::memory_order_release);
    }
    return *this;
  }

  // Creates a socket of the family of `local` and binds it there (port 0 lets the system
  // choose). The IPv6 unspecified address (::) takes both families: IPv4 peers come and go in
  // IPv4 form. With `transparent`, the socket may take an address of another host
  // (IP_TRANSPARENT, Linux alone): the option is set before the bind. On failure the socket is
  // left closed, and the outcome says which step failed and why.
  // With `one_family`, an IPv6 socket takes IPv6 peers alone, on the unspecified address too.
  Outcome OpenAndBind(const Endpoint& local, bool transparent = false, bool one_family = false);
  // Whether an IPv6 socket takes IPv6 peers alone (IPV6_V6ONLY).
  bool OneFamily() const;

  // Asks for a receive buffer of `bytes`; the system may grant less (up to its own limit).
  // Returns the system's error when it refuses, else 0.
  int SetReceiveBuffer(int bytes) const;

  // Makes a receive that has waited `timeout` for a datagram fail with the system's timeout
  // error. Returns the system's error when it refuses, else 0.
  int SetReceiveTimeout(std::chrono::milliseconds timeout) const;

  bool IsOpen() const { return handle() != kNoSocket; }
  // May be read on other threads while the owner replaces the socket.
  SocketHandle handle() const { return handle_.load(std::memory_order_acquire); }

  // Makes batch receives report the local address each datagram was sent to, for a socket
  // bound to every local address whose replies must leave from the address the peer used
  // (both families' on a socket of both). Returns the system's error when it refuses, else 0.
  int ReportLocalAddress() const;

  // Makes batch receives tell, with each datagram (ReceiveSlot::system_drops), how many datagrams
  // the system has dropped on this socket so far: those that found its receive buffer full,
  // above all (SO_RXQ_OVFL). Returns the system's error when it refuses, else 0. Windows keeps
  // no such count: nothing is asked there, and every slot tells 0.
  int ReportSystemDrops() const;
  // The same count, asked of the system now; 0 where it does not tell (Windows).
  uint32_t SystemDrops() const;

  // What tells this socket apart from every other one open, whichever descriptor names it (two
  // descriptors of one socket tell the same); 0 when the system cannot tell.
  uint64_t Identity() const;

  // The bound local port in host order, or 0 if it cannot be told.
  uint16_t LocalPort() const;
  // The bound local address and port; unknown (Endpoint::known false) if it cannot be told.
  Endpoint LocalAddress() const;

  // Takes over a bound UDP socket that another process made (one handed on across a restart);
  // closed when it is no bound socket of either family.
  static UdpSocket Adopt(SocketHandle handle);
  // A second descriptor of the same socket, for another process to keep (closed on exec), or
  // kNoSocket when the system gives none (Windows: none is ever kept).
  SocketHandle Duplicate() const { return Duplicate(handle()); }
  static SocketHandle Duplicate(SocketHandle handle);

  // Waits for at least one datagram, then takes as many more as are already waiting, up to
  // `count` (at most kMaxBatch). The result counts the slots filled, or carries the error.
  // Where the system has no batch receive, one datagram comes at a time.
  IoResult ReceiveMany(ReceiveSlot* slots, int count) const;

  // Sends `count` datagrams (at most kMaxBatch) in as few calls as the system allows. A
  // datagram the system refuses is skipped; the result counts those sent and their bytes, with
  // the error of the last refusal.
  IoResult SendMany(const OutgoingDatagram* datagrams, int count) const;
  // The same for a run to one destination, which may leave as one send that the system cuts
  // into the datagrams again (Linux, UDP_SEGMENT). On a host where nobody holds the destination's
  // port, such a send brings one refusal for the whole run: a socket that counts refusals per
  // datagram sends a run so only while its destination answers. What the route refuses of such
  // sends lowers `room`, the sender's own for that destination, and no one else's.
  IoResult SendRun(const OutgoingDatagram* datagrams, int count, RunRoom& room) const;

  // Makes the system keep, for TakeRefusals, its reports of datagrams sent from this socket
  // that found nobody on their destination's port (ICMP port unreachable). Returns the
  // system's error when it refuses, else 0.
  int ReportRefusals() const;

  // After a receive on a socket that reports refusals failed with `error`: how many datagrams
  // sent to `to` the system has reported refused since the call before. Every report waiting
  // is taken, whatever it tells, so none is read twice and none is left to fail the next
  // receive. Never waits. Where the system does not tell a refused datagram's destination
  // (Windows), each refusal counts as one to `to`: call it for a socket that sends only there.
  int TakeRefusals(int error, const Endpoint& to) const;

  // Sends one datagram; the result counts its bytes. Never raises a signal. An IPv4 `to` is
  // taken in IPv6 form by a socket of both families.
  IoResult SendTo(const void* data, size_t length, const Endpoint& to) const;

  // Wakes every thread blocked in a receive on this socket; later receives return 0 at once
  // and later sends fail. The descriptor stays open (and its number taken) until Close.
  void Shutdown() const;

  void Close();

  // Gives up ownership of the descriptor without closing it.
  SocketHandle Release() { return handle_.exchange(kNoSocket, std::memory_order_acq_rel); }

  // Whether it is an IPv6 socket, which then takes IPv4 destinations in IPv6 form.
  bool is_v6() const { return v6_.load(std::memory_order_relaxed); }

 private:
  std::atomic<SocketHandle> handle_{kNoSocket};
  std::atomic<bool> v6_{false};
};

// The socket library, where the system has one: started before any socket is made, and
// released when this object goes, after every socket. One for the whole process.
class SocketLibrary {
 public:
  SocketLibrary();
  ~SocketLibrary();
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;

  bool started() const { return started_; }

 private:
  bool started_ = false;
};

// Whether the address of `e` is one of this host's own: loopback, unspecified, or an address
// of either family in the system's table of this host's addresses, read afresh at every call.
// When the table cannot be read the answer is yes, so that a source that may be the relay
// itself is never relayed.
bool IsAddressOfThisHost(const Endpoint& e);

// Whether the system lets this process bind a socket of the family of `v6` to an address of
// another host (a transparent socket, see UdpSocket::OpenAndBind): opens a socket, sets the
// option and closes it. 0 when it does, else the system's error (on Windows always the error
// of an operation not supported).
int TransparentRefused(bool v6);

// Whether a receive's `error` is the system's word of a report (ICMP) for an earlier datagram
// of the socket's: port, protocol, host or network unreachable, too big, a parameter problem, a
// time exceeded. Any host on the way can send one; each fails one receive, and the next may
// bring a datagram.
bool IsReportedError(int error);

// Call after a receive failed with `error`. An error that a retry may clear (an interrupt, an
// error reported for an earlier datagram) returns at once; one that would repeat sleeps a
// millisecond, so a receive loop neither turns at full speed nor falls far behind.
void PauseAfterReceiveError(int error);

}  // namespace tavorin
