// Load generator and echo server for measuring UDP relays on loopback.
//
//   udp_bench echo  PORT                      echo on PORT and PORT+1 until SIGTERM
//   udp_bench load  PORT CLIENTS WINDOW BYTES SECONDS   closed loop: WINDOW in flight per client
//   udp_bench open  PORT CLIENTS RATE BYTES SECONDS     open loop: RATE datagrams/s over CLIENTS
//   udp_bench burst PORT CLIENTS
//   udp_bench scale PORT LINKS SECONDS RELAY_PID
//   udp_bench scrape PORT RATE               GET /metrics from TCP PORT RATE times/s until SIGTERM
//
// Each prints one line of key=value figures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

uint64_t NowNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
          .count());
}

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::exit(2);
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void SetBuffers(int fd, int bytes) {
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

// A non-blocking socket connected to 127.0.0.1:port.
int ConnectedSocket(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    Die("socket");
  sockaddr_in to = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    Die("connect");
  return fd;
}

void RaiseFileLimit() {
  rlimit l{};
  getrlimit(RLIMIT_NOFILE, &l);
  l.rlim_cur = l.rlim_max;
  setrlimit(RLIMIT_NOFILE, &l);
}

// True until SIGTERM or SIGINT, for the modes that run until then.
std::atomic<bool> until_sigterm{true};
void StopAtSignal() {
  signal(SIGTERM, [](int) { until_sigterm.store(false); });
  signal(SIGINT, [](int) { until_sigterm.store(false); });
}

// ---- echo server --------------------------------------------------------------------------

// A relay with ProxyProtocol=2 puts a PROXY v2 header ahead of each datagram; the echo answers
// with the payload alone, as a server that reads the header would.
void StripProxyHeader(iovec& datagram) {
  static const unsigned char kSignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                               0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
  const auto* bytes = static_cast<const unsigned char*>(datagram.iov_base);
  if (datagram.iov_len < 16 || std::memcmp(bytes, kSignature, sizeof kSignature) != 0)
    return;
  const size_t header = 16 + (size_t{bytes[14]} << 8 | bytes[15]);
  if (header > datagram.iov_len)
    return;
  datagram.iov_base = const_cast<unsigned char*>(bytes) + header;
  datagram.iov_len -= header;
}

void EchoLoop(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = Loopback(port);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
    Die("echo bind");
  SetBuffers(fd, 8 << 20);
  constexpr int kBatch = 64;
  static thread_local char data[kBatch][65536];
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  sockaddr_in from[kBatch];
  timeval tick{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  while (until_sigterm.load()) {
    for (int i = 0; i < kBatch; ++i) {
      iov[i] = {data[i], sizeof data[i]};
      msgs[i].msg_hdr = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_name = &from[i];
      msgs[i].msg_hdr.msg_namelen = sizeof from[i];
    }
    int n = recvmmsg(fd, msgs, kBatch, MSG_WAITFORONE, nullptr);
    if (n <= 0)
      continue;
    for (int i = 0; i < n; ++i) {
      iov[i] = {data[i], msgs[i].msg_len};
      StripProxyHeader(iov[i]);
    }
    for (int sent = 0; sent < n;) {
      int k = sendmmsg(fd, msgs + sent, static_cast<unsigned>(n - sent), 0);
      if (k <= 0)
        break;
      sent += k;
    }
  }
  close(fd);
}

int Echo(uint16_t port) {
  StopAtSignal();
  std::thread second(EchoLoop, static_cast<uint16_t>(port + 1));
  EchoLoop(port);
  second.join();
  return 0;
}

// ---- scraping ------------------------------------------------------------------------------

// One GET of /metrics from 127.0.0.1:port, read to the end; whether an answer came.
bool ScrapeOnce(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = Loopback(port);
  bool answered = false;
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
    static const char kRequest[] =
        "GET /metrics HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
    if (send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) > 0) {
      char answer[16384];
      for (ssize_t n; (n = recv(fd, answer, sizeof answer, 0)) > 0;)
        answered = answered || std::strncmp(answer, "HTTP/1.1 200", 12) == 0;
    }
  }
  if (fd >= 0)
    close(fd);
  return answered;
}

// Scrapes at `rate` a second, paced from the start, until SIGTERM; prints the counts.
int Scrape(uint16_t port, double rate) {
  StopAtSignal();
  const uint64_t start = NowNs();
  uint64_t done = 0;
  uint64_t failed = 0;
  while (until_sigterm.load()) {
    const uint64_t due = start + static_cast<uint64_t>(static_cast<double>(done) * 1e9 / rate);
    if (const uint64_t now = NowNs(); now < due)
      std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
    failed += ScrapeOnce(port) ? 0 : 1;
    ++done;
  }
  const double seconds = static_cast<double>(NowNs() - start) / 1e9;
  std::printf("scrapes=%llu failed=%llu per_s=%.0f\n", static_cast<unsigned long long>(done),
              static_cast<unsigned long long>(failed), static_cast<double>(done) / seconds);
  return 0;
}

// ---- closed-loop load ---------------------------------------------------------------------

struct Header {
  uint64_t sent_ns;
  uint32_t client;
  uint32_t sequence;
};

struct Client {
  int fd = -1;
  int outstanding = 0;
  uint32_t sequence = 0;
  uint64_t last_reply_ns = 0;
};

struct LoadResult {
  double round_trips_per_second = 0;
  double mean_us = 0;
  double p50_us = 0;
  double p99_us = 0;
  double p999_us = 0;
  double max_us = 0;
  uint64_t lost = 0;
  uint64_t corrupt = 0;
  uint64_t refills = 0;  // windows sent again after a long silence
  double sent_per_second = 0;
};

// Mean and percentiles of the round trips measured.
void Summarize(std::vector<uint32_t>& rtt_ns, LoadResult& r) {
  if (rtt_ns.empty())
    return;
  double sum = 0;
  for (uint32_t t : rtt_ns)
    sum += t;
  r.mean_us = sum / static_cast<double>(rtt_ns.size()) / 1000.0;
  auto pct = [&](double p) {
    size_t k = static_cast<size_t>(p * static_cast<double>(rtt_ns.size() - 1));
    std::nth_element(rtt_ns.begin(), rtt_ns.begin() + static_cast<long>(k), rtt_ns.end());
    return rtt_ns[k] / 1000.0;
  };
  r.p50_us = pct(0.50);
  r.p99_us = pct(0.99);
  r.p999_us = pct(0.999);
  r.max_us = pct(1.0);
}

// One reply read from a client: checks it and records its round trip. False when nothing was
// waiting.
bool TakeReply(std::vector<Client>& clients, uint32_t id, size_t bytes, uint64_t measure_from,
               std::vector<uint32_t>& rtt_ns, LoadResult& r) {
  char in[4096];
  Client& c = clients[id];
  ssize_t got = recv(c.fd, in, sizeof in, 0);
  if (got < 0)
    return false;
  uint64_t t = NowNs();
  if (static_cast<size_t>(got) != bytes) {
    ++r.corrupt;
    return true;
  }
  Header h;
  std::memcpy(&h, in, sizeof h);
  if (h.client != id)
    ++r.corrupt;
  if (c.outstanding > 0)
    --c.outstanding;
  c.last_reply_ns = t;
  if (t >= measure_from)
    rtt_ns.push_back(static_cast<uint32_t>(std::min<uint64_t>(t - h.sent_ns, UINT32_MAX)));
  return true;
}

int EpollOver(const std::vector<Client>& clients) {
  int ep = epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 0; i < clients.size(); ++i) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, clients[i].fd, &e);
  }
  return ep;
}

// Keeps `window` datagrams of `bytes` in flight on each client for `seconds`. A client whose
// replies stop for a second is taken to have lost its window, which is counted and sent again;
// a shorter wait would add datagrams to a relay that is only slow, and measure the queue.
LoadResult RunLoad(std::vector<Client>& clients, int window, size_t bytes, double seconds) {
  int ep = EpollOver(clients);
  bytes = std::max(bytes, sizeof(Header));
  std::vector<char> out(bytes, 'x');
  auto send_one = [&](uint32_t id) {
    Client& c = clients[id];
    Header h{NowNs(), id, c.sequence++};
    std::memcpy(out.data(), &h, sizeof h);
    if (send(c.fd, out.data(), bytes, 0) == static_cast<ssize_t>(bytes))
      ++c.outstanding;
  };
  for (uint32_t id = 0; id < clients.size(); ++id) {
    clients[id].last_reply_ns = NowNs();
    for (int w = 0; w < window; ++w)
      send_one(id);
  }

  LoadResult r;
  std::vector<uint32_t> rtt_ns;
  rtt_ns.reserve(1 << 22);
  uint64_t received = 0;
  const uint64_t start = NowNs();
  const uint64_t stop_sending = start + static_cast<uint64_t>(seconds * 1e9);
  const uint64_t give_up = stop_sending + 1'500'000'000ull;
  constexpr uint64_t kStall = 1'000'000'000ull;
  epoll_event events[256];
  while (true) {
    uint64_t now = NowNs();
    if (now >= give_up)
      break;
    bool draining = now >= stop_sending;
    if (draining) {
      bool any = false;
      for (auto& c : clients)
        any |= c.outstanding > 0;
      if (!any)
        break;
    }
    int n = epoll_wait(ep, events, 256, 10);
    for (int i = 0; i < n; ++i) {
      uint32_t id = events[i].data.u32;
      while (TakeReply(clients, id, bytes, start + 100'000'000ull, rtt_ns, r)) {
        ++received;
        if (NowNs() < stop_sending)
          send_one(id);
      }
    }
    now = NowNs();
    if (now < stop_sending) {
      for (uint32_t id = 0; id < clients.size(); ++id) {
        Client& c = clients[id];
        if (now - c.last_reply_ns > kStall) {
          r.lost += static_cast<uint64_t>(c.outstanding);
          ++r.refills;
          c.outstanding = 0;
          c.last_reply_ns = now;
          for (int w = 0; w < window; ++w)
            send_one(id);
        }
      }
    }
  }
  for (auto& c : clients) {
    r.lost += static_cast<uint64_t>(c.outstanding);
    c.outstanding = 0;
  }
  close(ep);
  r.round_trips_per_second = static_cast<double>(received) / seconds;
  Summarize(rtt_ns, r);
  return r;
}

// Sends `rate` datagrams of `bytes` a second for `seconds`, spread evenly over the clients in
// turn whatever comes back, and measures each reply; what has not come back half a second
// after the last send is lost. Every relay is measured at the same offered load.
LoadResult RunOpen(std::vector<Client>& clients, double rate, size_t bytes, double seconds) {
  int ep = EpollOver(clients);
  bytes = std::max(bytes, sizeof(Header));
  std::vector<char> out(bytes, 'x');
  LoadResult r;
  std::vector<uint32_t> rtt_ns;
  rtt_ns.reserve(static_cast<size_t>(rate * seconds) + 16);
  uint64_t sent = 0;
  uint64_t received = 0;
  uint32_t next = 0;
  const uint64_t start = NowNs();
  const uint64_t stop_sending = start + static_cast<uint64_t>(seconds * 1e9);
  const uint64_t give_up = stop_sending + 500'000'000ull;
  epoll_event events[256];
  for (uint64_t now = start; now < give_up && (now < stop_sending || received < sent);
       now = NowNs()) {
    if (now < stop_sending) {
      auto due = static_cast<uint64_t>(static_cast<double>(now - start) * rate / 1e9);
      for (; sent < due; ++sent) {
        Client& c = clients[next];
        Header h{NowNs(), next, c.sequence++};
        std::memcpy(out.data(), &h, sizeof h);
        send(c.fd, out.data(), bytes, 0);
        ++c.outstanding;
        next = (next + 1) % static_cast<uint32_t>(clients.size());
      }
    }
    int n = epoll_wait(ep, events, 256, 0);
    for (int i = 0; i < n; ++i) {
      while (TakeReply(clients, events[i].data.u32, bytes, start + 100'000'000ull, rtt_ns, r))
        ++received;
    }
    if (n == 0 && now < stop_sending)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  close(ep);
  r.lost = sent > received ? sent - received : 0;
  r.sent_per_second = static_cast<double>(sent) / seconds;
  r.round_trips_per_second = static_cast<double>(received) / seconds;
  Summarize(rtt_ns, r);
  return r;
}

std::vector<Client> OpenClients(uint16_t port, size_t count) {
  std::vector<Client> clients(count);
  for (auto& c : clients) {
    c.fd = ConnectedSocket(port);
    SetBuffers(c.fd, 1 << 20);
  }
  return clients;
}

void CloseClients(std::vector<Client>& clients) {
  for (auto& c : clients)
    close(c.fd);
  clients.clear();
}

// In flight on average, by Little's law: mean round trip times round trips per second.
void PrintLoad(const LoadResult& r) {
  std::printf(
      "rtps=%.0f sent_ps=%.0f mean_us=%.1f p50_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f "
      "inflight=%.0f lost=%llu refills=%llu corrupt=%llu\n",
      r.round_trips_per_second, r.sent_per_second, r.mean_us, r.p50_us, r.p99_us, r.p999_us,
      r.max_us, r.mean_us * 1e-6 * r.round_trips_per_second,
      static_cast<unsigned long long>(r.lost), static_cast<unsigned long long>(r.refills),
      static_cast<unsigned long long>(r.corrupt));
}

int Load(uint16_t port, int clients, int window, size_t bytes, double seconds) {
  auto set = OpenClients(port, static_cast<size_t>(clients));
  PrintLoad(RunLoad(set, window, bytes, seconds));
  CloseClients(set);
  return 0;
}

// ---- burst of new clients -----------------------------------------------------------------

// Each client sends one datagram and waits for its echo; returns how many were answered
// within `timeout_ms` after the last was sent.
size_t Answered(std::vector<Client>& clients, int timeout_ms, size_t bytes = 64) {
  static char out[65536] = "burst";
  bytes = std::min(bytes, sizeof out);
  for (auto& c : clients)
    c.outstanding = send(c.fd, out, bytes, 0) == static_cast<ssize_t>(bytes) ? 1 : 0;
  size_t answered = 0;
  std::vector<pollfd> fds(clients.size());
  const uint64_t deadline = NowNs() + static_cast<uint64_t>(timeout_ms) * 1'000'000ull;
  while (answered < clients.size() && NowNs() < deadline) {
    for (size_t i = 0; i < clients.size(); ++i) {
      fds[i] = {clients[i].fd, static_cast<short>(clients[i].outstanding ? POLLIN : 0), 0};
    }
    if (poll(fds.data(), fds.size(), 20) <= 0)
      continue;
    static char in[65536];
    for (size_t i = 0; i < clients.size(); ++i) {
      if ((fds[i].revents & POLLIN) && recv(clients[i].fd, in, sizeof in, 0) > 0) {
        clients[i].outstanding = 0;
        ++answered;
      }
    }
  }
  return answered;
}

int Burst(uint16_t port, int count) {
  auto clients = OpenClients(port, static_cast<size_t>(count));
  size_t answered = Answered(clients, 3000);
  std::printf("answered=%zu of=%d percent=%.2f\n", answered, count,
              100.0 * static_cast<double>(answered) / count);
  CloseClients(clients);
  return 0;
}

int Open(uint16_t port, int clients, double rate, size_t bytes, double seconds) {
  auto set = OpenClients(port, static_cast<size_t>(clients));
  Answered(set, 3000);  // every link is made before the clock starts
  for (auto& c : set)
    c.outstanding = 0;
  PrintLoad(RunOpen(set, rate, bytes, seconds));
  CloseClients(set);
  return 0;
}

// ---- throughput with many links held ------------------------------------------------------

long ResidentKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = -1;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      break;
    }
  }
  return value;
}

// Makes `links` links, each with one datagram of 64 bytes, and measures the relay's resident
// memory; with `large` bytes, each link then carries one datagram that long both ways, and the
// memory is measured again. Then 16 of the links carry a load.
int Scale(uint16_t port, int links, double seconds, int pid, size_t large) {
  long before = ResidentKiB(pid);
  auto held = OpenClients(port, static_cast<size_t>(links));
  // Links are made in steps the relay's socket buffer can take, each step answered.
  auto in_steps = [&](size_t bytes) {
    const size_t each = bytes > 4096 ? 50 : 500;
    size_t answered = 0;
    for (size_t from = 0; from < held.size(); from += each) {
      std::vector<Client> step(
          held.begin() + static_cast<long>(from),
          held.begin() + static_cast<long>(std::min(held.size(), from + each)));
      answered += Answered(step, 3000, bytes);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return answered;
  };
  size_t made = in_steps(64);
  long after = ResidentKiB(pid);
  if (large > 0) {
    size_t carried = in_steps(large);
    std::printf("large_bytes=%zu large_answered=%zu rss_after_large_kib=%ld ", large, carried,
                ResidentKiB(pid));
  }
  std::vector<Client> active(held.begin(), held.begin() + std::min<long>(16, links));
  LoadResult r = RunLoad(active, 8, 64, seconds);
  std::printf("links=%zu rss_kib=%ld rss_before_kib=%ld ", made, after, before);
  PrintLoad(r);
  CloseClients(held);
  return 0;
}

// Makes `idle` links that then fall silent, and runs `active` clients for `seconds`, together
// sending `rate` datagrams a second: with an idle timeout shorter than that, the idle links
// expire while the active clients are measured.
int Expiry(uint16_t port, int idle, int active, double rate, double seconds) {
  auto silent = OpenClients(port, static_cast<size_t>(idle));
  size_t made = 0;
  for (size_t from = 0; from < silent.size(); from += 500) {
    std::vector<Client> step(
        silent.begin() + static_cast<long>(from),
        silent.begin() + static_cast<long>(std::min(silent.size(), from + 500)));
    made += Answered(step, 3000);
  }
  auto busy = OpenClients(port, static_cast<size_t>(active));
  Answered(busy, 3000);
  for (auto& c : busy)
    c.outstanding = 0;
  std::printf("idle_links=%zu ", made);
  PrintLoad(RunOpen(busy, rate, 64, seconds));
  CloseClients(busy);
  CloseClients(silent);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  RaiseFileLimit();
  std::string mode = argc > 1 ? argv[1] : "";
  auto arg = [&](int i) { return i < argc ? std::atof(argv[i]) : 0.0; };
  uint16_t port = static_cast<uint16_t>(arg(2));
  if (mode == "echo" && argc == 3)
    return Echo(port);
  if (mode == "load" && argc == 7) {
    return Load(port, static_cast<int>(arg(3)), static_cast<int>(arg(4)),
                static_cast<size_t>(arg(5)), arg(6));
  }
  if (mode == "open" && argc == 7) {
    return Open(port, static_cast<int>(arg(3)), arg(4), static_cast<size_t>(arg(5)), arg(6));
  }
  if (mode == "burst" && argc == 4)
    return Burst(port, static_cast<int>(arg(3)));
  if (mode == "expiry" && argc == 7)
    return Expiry(port, static_cast<int>(arg(3)), static_cast<int>(arg(4)), arg(5), arg(6));
  if (mode == "scale" && (argc == 6 || argc == 7)) {
    return Scale(port, static_cast<int>(arg(3)), arg(4), static_cast<int>(arg(5)),
                 static_cast<size_t>(arg(6)));
  }
  if (mode == "scrape" && argc == 4)
    return Scrape(port, arg(3));
  std::fprintf(stderr,
               "usage: udp_bench echo PORT | load PORT CLIENTS WINDOW BYTES SECONDS |\n"
               "       open PORT CLIENTS RATE BYTES SECONDS | burst PORT CLIENTS |\n"
               "       scale PORT LINKS SECONDS RELAY_PID [LARGE_BYTES] |\n"
               "       expiry PORT IDLE_LINKS ACTIVE_CLIENTS RATE SECONDS | scrape PORT RATE\n");
  return 2;
}
