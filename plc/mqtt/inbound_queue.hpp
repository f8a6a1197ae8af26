// Messages from the MQTT client library's callback thread to the scan
// thread, without a lock: one producer appends, one consumer takes.
//
// Messages are copied into a chain of large byte blocks, each stored as
// topic length (uint32), topic, payload length (uint32), payload. The
// producer writes at the tail block and starts a new one when a message does
// not fit; it publishes a block's new write offset, or the link to the next
// block, with release order only after the bytes are in place. The consumer
// reads at the head block with acquire order and retires a block once it has
// read it to the end and a next block exists. One retired block is kept as a
// spare for the producer, so a steady stream does not allocate.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace kvt::plc::mqtt {

struct inbound_message {
  std::string_view topic;
  std::string_view payload;
};

class inbound_queue {
 public:
  static constexpr std::size_t block_bytes = 65'536;
  // Blocks held at once, in bytes, before the producer refuses messages.
  static constexpr std::size_t default_limit = std::size_t{64} << 20;

  explicit inbound_queue(std::size_t limit_bytes = default_limit);
  ~inbound_queue();
  inbound_queue(const inbound_queue&) = delete;
  inbound_queue& operator=(const inbound_queue&) = delete;

  // Producer. Returns false, storing nothing, when the message would take the
  // queue past its limit or memory runs out; the caller may offer it again.
  bool push(std::string_view topic, std::string_view payload) noexcept;

  // Consumer. The oldest message; its views stay valid until the next `pop`
  // or `discard`. False when the queue is empty.
  bool pop(inbound_message& out) noexcept;

  // Consumer. Drops every message pushed so far.
  void discard() noexcept;

  // Bytes held in blocks (spare included).
  std::size_t held_bytes() const noexcept { return held_.load(std::memory_order_relaxed); }

 private:
  struct block {
    explicit block(std::size_t size);
    std::atomic<std::size_t> written{0};  // end of the complete messages
    std::atomic<block*> next{nullptr};    // set once, after the last message
    std::size_t capacity;
    std::unique_ptr<char[]> bytes;
  };

  // The chain links blocks by plain pointers (an atomic cannot hold a
  // unique_ptr); each block is owned by the chain from `make_block` until
  // `free_block`.
  block* make_block(std::size_t need) noexcept;
  void free_block(block* b) noexcept;
  void retire(block* b) noexcept;

  const std::size_t limit_;
  std::atomic<std::size_t> held_{0};
  std::atomic<block*> spare_{nullptr};

  // Producer side.
  block* tail_;
  std::size_t tail_used_ = 0;

  // Consumer side.
  block* head_;
  std::size_t read_ = 0;
};

}  // namespace kvt::plc::mqtt
