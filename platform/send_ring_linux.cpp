// The submission ring on Linux (io_uring, through liburing): a batch of sends, each on its own
// socket, in one system call that also waits for them all.
#include <liburing.h>

#include <cerrno>
#include <new>

#include "platform/send_message_linux.h"
#include "platform/send_queue.h"

namespace tavorin {

namespace {

class IoUring final : public SendRing {
 public:
  IoUring() = default;
  IoUring(const IoUring&) = delete;
  IoUring& operator=(const IoUring&) = delete;
  ~IoUring() override {
    if (open_) {
      io_uring_queue_exit(&ring_);
    }
  }

  bool Open() {
    // Completions are delivered when this thread next enters the ring, not by interrupting it.
    io_uring_params params{};
    params.flags = IORING_SETUP_COOP_TASKRUN;
    open_ = io_uring_queue_init_params(kMaxBatch, &ring_, &params) == 0 ||
            io_uring_queue_init(kMaxBatch, &ring_, 0) == 0;
    return open_;
  }

  IoResult SendAll(const UdpSocket* const* from, const OutgoingDatagram* datagrams,
                   int count) override {
    IoResult result;
    count = count < kMaxBatch ? count : kMaxBatch;
    int queued = 0;
    for (; queued < count && !broken_; ++queued) {
      io_uring_sqe* entry = io_uring_get_sqe(&ring_);
      if (entry == nullptr) {
        break;  // cannot happen while every batch is reaped whole; the rest take the calls
      }
      PrepareSend(datagrams[queued], headers_[queued], parts_[queued], control_[queued]);
      io_uring_prep_sendmsg(entry, from[queued]->handle(), &headers_[queued], MSG_NOSIGNAL);
    }
    int submitted = 0;
    while (submitted < queued) {
      int n = io_uring_submit_and_wait(&ring_, static_cast<unsigned>(queued));
      if (n >= 0) {
        submitted += n;
      } else if (n != -EINTR) {
        result.error = -n;
        broken_ = true;
        break;
      }
    }
    // Every submitted send completes, and its headers stay in place until it has.
    for (int reaped = 0; reaped < submitted; ++reaped) {
      io_uring_cqe* completion = nullptr;
      int waited;
      while ((waited = io_uring_wait_cqe(&ring_, &completion)) == -EINTR) {
      }
      if (waited < 0) {
        result.error = -waited;
        broken_ = true;
        break;
      }
      if (completion->res >= 0) {
        ++result.count;
      } else {
        result.error = -completion->res;
      }
      io_uring_cqe_seen(&ring_, completion);
    }
    for (int i = submitted; i < count; ++i) {
      IoResult sent = from[i]->SendMany(&datagrams[i], 1);
      result.count += sent.count;
      result.error = sent.error != 0 ? sent.error : result.error;
    }
    return result;
  }

 private:
  io_uring ring_{};
  bool open_ = false;
  // Set when the ring failed in a way that leaves it out of step (a submission or a wait the
  // system refused): from then on every send takes the socket calls.
  bool broken_ = false;
  msghdr headers_[kMaxBatch];
  iovec parts_[kMaxBatch];
  PacketInfoControl control_[kMaxBatch];
};

}  // namespace

std::unique_ptr<SendRing> SendRing::Open() {
  auto ring = std::unique_ptr<IoUring>(new (std::nothrow) IoUring);
  if (ring == nullptr || !ring->Open()) {
    return nullptr;  // disabled, refused by a sandbox, or out of locked memory
  }
  return ring;
}

}  // namespace tavorin
