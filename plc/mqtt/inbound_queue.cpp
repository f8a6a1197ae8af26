#include "plc/mqtt/inbound_queue.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace kvt::plc::mqtt {

namespace {

constexpr std::size_t length_bytes = sizeof(std::uint32_t);

void put_length(char* at, std::size_t n) noexcept {
  const auto v = static_cast<std::uint32_t>(n);
  std::memcpy(at, &v, length_bytes);
}

std::size_t get_length(const char* at) noexcept {
  std::uint32_t v;
  std::memcpy(&v, at, length_bytes);
  return v;
}

void write_message(char* at, std::string_view topic, std::string_view payload) noexcept {
  put_length(at, topic.size());
  at += length_bytes;
  if (!topic.empty()) std::memcpy(at, topic.data(), topic.size());
  at += topic.size();
  put_length(at, payload.size());
  at += length_bytes;
  if (!payload.empty()) std::memcpy(at, payload.data(), payload.size());
}

}  // namespace

inbound_queue::block::block(std::size_t size)
    : capacity(size), bytes(std::make_unique_for_overwrite<char[]>(size)) {}

inbound_queue::inbound_queue(std::size_t limit_bytes) : limit_(limit_bytes) {
  tail_ = std::make_unique<block>(block_bytes).release();
  head_ = tail_;
  held_.store(block_bytes, std::memory_order_relaxed);
}

inbound_queue::~inbound_queue() {
  block* b = head_;
  while (b != nullptr) {
    block* next = b->next.load(std::memory_order_acquire);
    free_block(b);
    b = next;
  }
  free_block(spare_.exchange(nullptr, std::memory_order_acquire));
}

inbound_queue::block* inbound_queue::make_block(std::size_t need) noexcept {
  block* spare = spare_.exchange(nullptr, std::memory_order_acquire);
  if (spare != nullptr) {
    if (spare->capacity >= need) return spare;
    free_block(spare);
  }
  const std::size_t size = std::max(block_bytes, need);
  if (held_.load(std::memory_order_relaxed) + size > limit_) return nullptr;
  try {
    block* b = std::make_unique<block>(size).release();
    held_.fetch_add(size, std::memory_order_relaxed);
    return b;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void inbound_queue::free_block(block* b) noexcept {
  if (b == nullptr) return;
  held_.fetch_sub(b->capacity, std::memory_order_relaxed);
  std::unique_ptr<block> owned(b);
}

void inbound_queue::retire(block* b) noexcept {
  // Only ordinary-sized blocks are worth keeping; the producer sees the reset
  // fields through the exchange's release.
  if (b->capacity != block_bytes) {
    free_block(b);
    return;
  }
  b->written.store(0, std::memory_order_relaxed);
  b->next.store(nullptr, std::memory_order_relaxed);
  free_block(spare_.exchange(b, std::memory_order_acq_rel));
}

bool inbound_queue::push(std::string_view topic, std::string_view payload) noexcept {
  constexpr std::size_t max_field = std::numeric_limits<std::uint32_t>::max();
  if (topic.size() > max_field || payload.size() > max_field - 2 * length_bytes - topic.size()) return false;
  const std::size_t need = 2 * length_bytes + topic.size() + payload.size();

  if (tail_->capacity - tail_used_ >= need) {
    write_message(tail_->bytes.get() + tail_used_, topic, payload);
    tail_used_ += need;
    tail_->written.store(tail_used_, std::memory_order_release);
    return true;
  }
  block* b = make_block(need);
  if (b == nullptr) return false;
  write_message(b->bytes.get(), topic, payload);
  // Not yet reachable by the consumer: the link below publishes it.
  b->written.store(need, std::memory_order_relaxed);
  tail_->next.store(b, std::memory_order_release);
  tail_ = b;
  tail_used_ = need;
  return true;
}

bool inbound_queue::pop(inbound_message& out) noexcept {
  for (;;) {
    const std::size_t end = head_->written.load(std::memory_order_acquire);
    if (read_ < end) {
      const char* at = head_->bytes.get() + read_;
      const std::size_t topic_size = get_length(at);
      at += length_bytes;
      out.topic = std::string_view(at, topic_size);
      at += topic_size;
      const std::size_t payload_size = get_length(at);
      at += length_bytes;
      out.payload = std::string_view(at, payload_size);
      read_ += 2 * length_bytes + topic_size + payload_size;
      return true;
    }
    block* next = head_->next.load(std::memory_order_acquire);
    if (next == nullptr) return false;
    // The link is set after the block's last message: look once more before
    // leaving it, in case that message came after the first look.
    if (read_ < head_->written.load(std::memory_order_acquire)) continue;
    block* done = head_;
    head_ = next;
    read_ = 0;
    retire(done);
  }
}

void inbound_queue::discard() noexcept {
  inbound_message m;
  while (pop(m)) {
  }
}

}  // namespace kvt::plc::mqtt
