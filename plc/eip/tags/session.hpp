// One EtherNet/IP session with a controller, shared by every tag of one
// gateway, route and controller family.
//
// Opening: TCP connection, Register Session, then a class 3 connection by
// Large Forward Open (4002 bytes each way) or, when that is refused, by
// Forward Open (504 bytes); Omron NJ/NX controllers get the small Forward
// Open directly. A controller that refuses both is served by unconnected
// messages (Send RR Data, carried by Unconnected Send along the route when
// there is one).
//
// Work: callers queue operations from any thread; the I/O thread sends
// them one request at a time. Queued work is sent when a caller asks the
// status of a tag whose work is still queued (or waits on one): a caller
// that starts many reads and then polls their status, as the driver does,
// gets them all packed whatever its pace. Work nobody asks about is sent
// once no work has been added for 10 ms, at most 200 ms after the first.
// Reads and writes that are ready together travel in Multiple Service
// Packet requests filled up to the connection size; a controller that
// answers one with "service not supported" gets one request per tag from
// then on, and the tags of that packet are sent again singly.
//
// Failure: every request (and each opening step) has 5,000 ms. A closed or
// reset connection, a reply time-out or a reply that is not the answer to
// the request sent drop the session: every queued and running operation
// ends with an error, and the next operation opens the session again.
//
// Closing: when the last tag goes, running work is aborted, the connection
// is closed by Forward Close and the session by Unregister Session.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plc/eip/tags/attributes.hpp"
#include "plc/eip/tags/frames.hpp"
#include "plc/eip/tags/operation.hpp"

namespace kvt::plc::eip {

inline constexpr std::chrono::milliseconds request_timeout{5000};
inline constexpr std::chrono::milliseconds batch_quiet{10};
inline constexpr std::chrono::milliseconds batch_longest{200};
inline constexpr std::uint16_t large_connection_size = 4002;
inline constexpr std::uint16_t small_connection_size = 504;
// The largest CIP message sent unconnected, Unconnected Send and route
// included.
inline constexpr std::size_t unconnected_message_size = 504;

struct session_settings {
  std::string host;
  std::uint16_t port = default_eip_port;
  byte_buffer route;
  plc_family family = plc_family::logix;
};

class session : public std::enable_shared_from_this<session> {
 public:
  session(boost::asio::io_context& io, session_settings settings);
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  // From any thread.
  void enqueue(work_item item);
  // Sends queued work now (cheap when there is none or a kick is on its
  // way).
  void kick();
  // The last tag is gone: aborts the work and closes the session.
  void close();

 private:
  enum class phase { idle, connecting, registering, opening, ready, closing, closed };
  enum class awaiting { nothing, register_reply, forward_open, request, forward_close };
  struct in_flight {
    std::size_t first = 0;
    std::size_t count = 0;
    bool packed = false;
    bool continuing = false;
  };
  using clock = std::chrono::steady_clock;

  // I/O thread only from here on.
  void arm_batch_timer();
  void on_batch_timer();
  void flush();
  void send_next();
  bool build_request();
  void start_connect();
  void connect_next(std::shared_ptr<std::vector<boost::asio::ip::tcp::endpoint>> addresses, std::size_t at,
                    std::uint64_t generation);
  void on_connected();
  void send_forward_open();
  void on_forward_open(byte_span message);
  void start_read();
  void on_packet(const encap_header& header, byte_span body);
  void on_reply(byte_span message);
  void on_packed_reply(byte_span message);
  void write_out(bool close_after);
  void arm_request_timer(std::chrono::milliseconds timeout);
  void send_rr(byte_span message);
  void send_message(byte_span message);
  void close_step(bool forward_close_done);
  void drop(int error);
  void fail_all(int error);
  void finish_close();
  void complete(work_item& item, int result);
  message_limits limits() const noexcept;

  boost::asio::io_context& io_;
  const session_settings settings_;
  boost::asio::ip::tcp::resolver resolver_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::steady_timer timer_;
  boost::asio::steady_timer batch_timer_;

  // Shared with callers, under mutex_.
  std::mutex mutex_;
  std::vector<work_item> pending_;
  bool batch_armed_ = false;
  bool closing_ = false;
  clock::time_point first_enqueue_{};
  clock::time_point last_enqueue_{};
  std::atomic<std::size_t> pending_count_{0};
  std::atomic<bool> kick_posted_{false};

  // The connection.
  phase phase_ = phase::idle;
  awaiting awaiting_ = awaiting::nothing;
  std::uint64_t generation_ = 0;  // handlers of an earlier connection are ignored
  std::uint64_t request_serial_ = 0;
  std::uint32_t session_handle_ = 0;
  bool connected_ = false;  // class 3 connection open
  bool large_attempted_ = false;
  std::uint32_t o_to_t_id_ = 0;
  std::uint32_t t_to_o_id_ = 0;
  std::uint16_t connection_serial_ = 0;
  std::uint16_t connection_size_ = 0;
  std::uint16_t sequence_ = 0;
  std::uint64_t context_ = 0;
  std::uint64_t expected_context_ = 0;
  bool packing_ = true;
  std::array<std::uint8_t, encap::header_size> header_in_{};
  byte_buffer body_in_;
  byte_buffer out_;
  byte_buffer message_;
  byte_buffer wrapped_;

  // The work.
  std::vector<work_item> ready_;
  std::size_t next_ = 0;
  std::vector<work_item> continuing_;  // multi-request work, served one at a time
  in_flight in_flight_;
  std::vector<byte_span> replies_;
};

}  // namespace kvt::plc::eip
