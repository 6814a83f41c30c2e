// What a relay run by systemd (Type=notify) tells its service manager: that it is ready, that
// it stops or reloads, a line of status, that its main thread still turns (the watchdog), and
// the sockets it is to keep for the next run of the service (its store of descriptors).
// The manager's protocol is a datagram of NAME=VALUE lines to the AF_UNIX socket that
// $NOTIFY_SOCKET names; no library is needed for it. Where there is no manager (a console)
// every call does nothing. On Windows, run as a service, Ready, Stopping and Turned (while a
// stop is pending) go to the service manager as its states; enabled() is false there, as no
// socket is kept.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "platform/udp_socket.h"

namespace tavorin {

class ServiceNotifier {
 public:
  // Reads $NOTIFY_SOCKET, $WATCHDOG_USEC and $WATCHDOG_PID once, here; later changes to the
  // environment change nothing. The variables stay set.
  ServiceNotifier();
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Whether a manager's socket was named (an absolute path, or "@" and a name in Linux's
  // abstract namespace). Even then a message may reach nobody: each call is a single try.
  bool enabled() const { return socket_ >= 0; }

  // Each sends one datagram, without ever waiting. One that finds the manager's socket full
  // waits here, in order, and goes at the next call of any of them or of Resend, ahead of
  // anything else (the store's messages wait for it); a manager that is gone loses it.
  void Ready();     // READY=1: started, or done reloading
  void Stopping();  // STOPPING=1: a stop has begun
  // RELOADING=1 with MONOTONIC_USEC=<CLOCK_MONOTONIC now, in microseconds>, which tells newer
  // managers which reload this is (older ones ignore the line). Ready() ends the reload.
  void Reloading();
  // STATUS=<text>, shown by systemctl status; a line end in `text` becomes a space, since each
  // line of the datagram is an assignment of its own.
  void Status(std::string_view text);
  // The main thread has turned: the manager is given its sign that the relay still makes
  // progress, where it asks for one, at most so often that calling this on every turn of a loop
  // costs nothing between two signs. With systemd, WATCHDOG=1 while a watchdog is set
  // (WatchdogInterval() is not zero), at most once every quarter of that interval, what waits
  // sent first; on Windows, while a stop is pending, the stop's next checkpoint, so that the
  // manager waits on for a long drain.
  void Turned();
  // Sends what waits of the messages above; true when nothing waits any more.
  bool Resend();

  // FDSTORE=1 and FDNAME=`name`, with `socket` attached: the manager keeps a descriptor of the
  // socket for the next run of the service, which finds it among the sockets passed in
  // (TakePassedSockets), until the service stops with no restart to follow. False when the
  // message cannot go now (the manager's socket is full): the caller tries again later; true
  // when it went or never can, and false while a message above waits to go. `name`: at most
  // 255 printable characters, none of them ':'. Unless `watched`, the manager keeps it even when it
  // hangs up (FDPOLL=0).
  bool StoreSocket(SocketHandle socket, std::string_view name, bool watched = true);
  // FDSTOREREMOVE=1 and FDNAME=`name`: the manager closes what it keeps under that name. False
  // as for StoreSocket.
  bool ForgetSocket(std::string_view name);

  // How long the manager waits for WATCHDOG=1 before it counts the relay as hung: $WATCHDOG_USEC,
  // when $WATCHDOG_PID is unset or names this process, and at most kLongestWatchdog. Zero when
  // no watchdog is set for it, or either variable is not a number.
  std::chrono::microseconds WatchdogInterval() const { return watchdog_interval_; }
  // A longer interval is taken as this: a sign of life every 6 hours keeps any longer watchdog
  // content too, and the steady clock (nanoseconds in 64 bits) holds it, where it would not hold
  // what $WATCHDOG_USEC can say (beyond about 3.7e16 the quarter of it overflows).
  static constexpr std::chrono::microseconds kLongestWatchdog = std::chrono::hours(24);

 private:
  // False only when the manager's socket is full just now.
  bool Send(std::string_view message, SocketHandle attached = kNoSocket);
  // Sends a message of state after what waits, or has it wait too; a newer line of status
  // takes the place of one that waits.
  void SendState(std::string message);

  std::deque<std::string> unsent_;  // messages of state that found the manager's socket full

  int socket_ = -1;      // a datagram socket towards the manager; none where -1 (Windows)
  std::string address_;  // the raw address the socket sends to
  std::chrono::microseconds watchdog_interval_{0};
  // When Turned last gave the manager its sign (WATCHDOG=1, a stop's checkpoint).
  std::chrono::steady_clock::time_point progress_sent_{};
  bool progress_ever_sent_ = false;
};

// A socket that the service manager passed in when it started this process ($LISTEN_FDS,
// $LISTEN_FDNAMES, $LISTEN_PID): one the previous run of the service had it keep, under the name
// given then ("unknown" when none was).
struct PassedSocket {
  SocketHandle socket;
  std::string name;
};
// The sockets passed to this process, taken once: later calls, and child processes, find none
// (the variables are removed). Each is closed on exec. None where no manager passed any to this
// process, and on Windows; where $LISTEN_PID names another process, the sockets among the
// descriptors it names are closed.
std::vector<PassedSocket> TakePassedSockets();

}  // namespace tavorin
