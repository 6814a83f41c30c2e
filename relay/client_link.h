// One client of one Listener: a socket of its own towards the server, and a return thread
// that passes whatever arrives on that socket back to the client through the Listener.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/endpoint.h"
#include "platform/thread.h"
#include "platform/udp_socket.h"

namespace tavorin {

class Listener;

class ClientLink {
 public:
  // Records the client, the local address it sent to (0 when not known) and the owner;
  // nothing is opened until Start.
  ClientLink(const Endpoint& client, const Listener* owner, uint32_t local_address = 0)
      : client_(client), owner_(owner), local_address_(local_address) {}
  // Stops the return thread and closes the socket. When it returns, nothing of either is left.
  ~ClientLink();
  ClientLink(const ClientLink&) = delete;
  ClientLink& operator=(const ClientLink&) = delete;

  // Opens the link's socket on a port the system chooses and starts the return thread.
  // On failure nothing is left open, and the outcome says what could not be had.
  Outcome Start();

  // Sends one datagram from the link's socket to the owner's server endpoint.
  long SendToServer(const void* data, size_t length) const;
  // Sends several of the client's datagrams to the server at once; returns how many went.
  int SendManyToServer(const void* const* data, const size_t* lengths, int count) const;

  const Endpoint& client() const { return client_; }
  uint16_t LocalPort() const { return socket_.LocalPort(); }

 private:
  static void ReturnThread(void* self);
  void ReturnLoop();

  const Endpoint client_;  // exactly as the first datagram's source was reported
  UdpSocket socket_;
  StoppableThread thread_;
  const Listener* const owner_;
  // Replies leave from here, so that a client of a host with several addresses hears back from
  // the address it sent to.
  const uint32_t local_address_;
};

}  // namespace tavorin
