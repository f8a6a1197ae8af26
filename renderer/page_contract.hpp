// What the program and the page agree on, channel by channel: buffer sizes,
// word positions, state values, record shapes and message codes. The signal
// exchange, the command server, the page bridge and the tests all read these
// numbers from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvt::page {

// ---------------------------------------------------------------------------
// Signal buffer: 32-bit little-endian words shared with the page once per step.
namespace signal {

inline constexpr std::size_t buffer_bytes = 524'288;
inline constexpr std::size_t word_bytes = 4;
inline constexpr std::size_t buffer_words = buffer_bytes / word_bytes;  // 131,072

inline constexpr std::size_t state_word = 0;         // handshake, values in `state`
inline constexpr std::size_t pace_key_word = 1;      // float32 written by the page
inline constexpr std::size_t record_count_word = 2;  // number of records after the header
inline constexpr std::size_t first_record_word = 3;

namespace state {
inline constexpr std::uint32_t outputs_requested = 1;  // page
inline constexpr std::uint32_t inputs_delivered = 2;   // page
inline constexpr std::uint32_t outputs_ready = 4;      // exchange thread
inline constexpr std::uint32_t inputs_applied = 8;     // exchange thread
}  // namespace state

// Output record (program to page): id, write time, read time, version, N, N pairs.
namespace output_record {
inline constexpr std::size_t id = 0;
inline constexpr std::size_t write_time = 1;
inline constexpr std::size_t read_time = 2;
inline constexpr std::size_t version = 3;
inline constexpr std::size_t pair_count = 4;
inline constexpr std::size_t header_words = 5;
}  // namespace output_record

// Input record (page to program): id, version, N, N pairs.
namespace input_record {
inline constexpr std::size_t id = 0;
inline constexpr std::size_t version = 1;
inline constexpr std::size_t pair_count = 2;
inline constexpr std::size_t header_words = 3;
}  // namespace input_record

// Each pair is a signal index followed by its 32-bit value slot.
inline constexpr std::size_t pair_words = 2;

}  // namespace signal

// ---------------------------------------------------------------------------
// Command buffer: a mailbox between the page and the other command-server clients.
namespace command {

inline constexpr std::size_t buffer_bytes = 524'288;
inline constexpr std::size_t status_offset = 0;   // uint32: 1 = page message waiting
inline constexpr std::size_t code_offset = 4;     // uint32, low byte used
inline constexpr std::size_t length_offset = 8;   // uint32 payload length
inline constexpr std::size_t payload_offset = 12;
inline constexpr std::size_t header_bytes = payload_offset;
inline constexpr std::size_t max_payload_bytes = buffer_bytes - header_bytes;  // 524,276

inline constexpr std::uint32_t status_idle = 0;
inline constexpr std::uint32_t status_page_message = 1;

inline constexpr std::uint8_t code_load_file = 3;
inline constexpr std::uint8_t code_relayed = 255;  // left in the buffer after a page message went out

// One-byte binary WebSocket messages.
inline constexpr std::uint8_t message_register_page = 253;  // page -> program
inline constexpr std::uint8_t message_buffer_ready = 255;   // program -> page

}  // namespace command

// ---------------------------------------------------------------------------
// ROS buffer: a 16-byte header, the rest belongs to the page and the bridge library.
namespace ros {

inline constexpr std::size_t request_offset = 0;  // uint32 request word, starts at 0
inline constexpr std::size_t page_value_offset = 4;  // uint64 of the page and the bridge
inline constexpr std::size_t page_word_offset = 12;  // uint32 of the page and the bridge
inline constexpr std::size_t header_bytes = 16;

inline constexpr std::uint32_t initial_request = 0;
inline constexpr std::uint64_t initial_page_value = 1;
inline constexpr std::uint32_t initial_page_word = header_bytes;

inline constexpr std::uint32_t request_read_subscriptions = 1;
inline constexpr std::uint32_t request_process_batch = 3;

inline constexpr std::uint64_t default_buffer_bytes = 64'000'000;
inline constexpr std::uint64_t max_buffer_bytes = 1'000'000'000;

}  // namespace ros

// ---------------------------------------------------------------------------
// Start URL query keys the page reads.
namespace start_url {
inline constexpr const char* port_key = "port";
inline constexpr const char* version_key = "version";
}  // namespace start_url

}  // namespace kvt::page
