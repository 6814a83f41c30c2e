#include "platform/send_queue.h"

namespace tavorin {

void SendQueue::Add(const UdpSocket& from, const OutgoingDatagram& datagram) {
  if (count_ == kMaxBatch) {
    Flush();
  }
  from_[count_] = &from;
  datagrams_[count_++] = datagram;
}

IoResult SendQueue::Flush() {
  if (count_ == 0) {
    return {};
  }
  if (!ring_tried_) {
    // Opened by the thread that flushes, the first time it does.
    ring_ = SendRing::Open();
    ring_tried_ = true;
  }
  IoResult result;
  if (ring_ != nullptr) {
    result = ring_->SendAll(from_, datagrams_, count_);
  } else {
    for (int at = 0; at < count_;) {
      int run = 1;
      while (at + run < count_ && from_[at + run] == from_[at]) {
        ++run;
      }
      IoResult sent = from_[at]->SendMany(datagrams_ + at, run);
      result.count += sent.count;
      result.error = sent.error != 0 ? sent.error : result.error;
      at += run;
    }
  }
  count_ = 0;
  return result;
}

}  // namespace tavorin
