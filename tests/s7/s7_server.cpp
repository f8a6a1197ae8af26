#include "s7/s7_server.hpp"

#include <snap7.h>

#include <stdexcept>
#include <string>

#include "support/ws_client.hpp"

namespace kvt::test {

namespace {

struct area_id {
  int code;
  int index;
};

area_id id_of(s7_test_server::area a) {
  switch (a) {
    case s7_test_server::area::inputs: return {srvAreaPE, 0};
    case s7_test_server::area::outputs: return {srvAreaPA, 0};
    case s7_test_server::area::markers: return {srvAreaMK, 0};
    case s7_test_server::area::db1: return {srvAreaDB, 1};
    case s7_test_server::area::db5: return {srvAreaDB, 5};
    default: return {srvAreaDB, 9};
  }
}

void S7API event_trampoline(void* self, PSrvEvent event, int /*size*/) {
  static_cast<s7_test_server*>(self)->record(*event);
}

}  // namespace

s7_test_server::s7_test_server(int forced_pdu) : server_(Srv_Create()), port_(free_port()) {
  for (auto& a : areas_) a.assign(area_bytes, 0);
  for (const area a : {area::inputs, area::outputs, area::markers, area::db1, area::db5, area::db9}) {
    const area_id id = id_of(a);
    if (Srv_RegisterArea(server_, id.code, static_cast<word>(id.index), storage(a).data(),
                         static_cast<int>(area_bytes)) != 0)
      throw std::runtime_error("area not registered");
  }
  if (Srv_SetParam(server_, p_u16_LocalPort, &port_) != 0) throw std::runtime_error("port not set");
  if (forced_pdu != 0 && Srv_SetParam(server_, p_i32_PDURequest, &forced_pdu) != 0)
    throw std::runtime_error("PDU length not set");
  Srv_SetMask(server_, mkEvent, evcDataRead | evcDataWrite);
  Srv_SetEventsCallback(server_, &event_trampoline, this);
  start();
}

s7_test_server::~s7_test_server() {
  Srv_Stop(server_);
  S7Object s = server_;
  Srv_Destroy(&s);
}

void s7_test_server::start() {
  if (Srv_StartTo(server_, "127.0.0.1") != 0)
    throw std::runtime_error("S7 server did not start on port " + std::to_string(port_));
}

void s7_test_server::stop() { Srv_Stop(server_); }

std::vector<std::uint8_t>& s7_test_server::storage(area a) { return areas_[static_cast<std::size_t>(a)]; }

void s7_test_server::set_bytes(area a, std::size_t offset, std::span<const std::uint8_t> bytes) {
  const area_id id = id_of(a);
  Srv_LockArea(server_, id.code, static_cast<word>(id.index));
  std::copy(bytes.begin(), bytes.end(), storage(a).begin() + static_cast<std::ptrdiff_t>(offset));
  Srv_UnlockArea(server_, id.code, static_cast<word>(id.index));
}

std::vector<std::uint8_t> s7_test_server::bytes(area a, std::size_t offset, std::size_t count) const {
  const area_id id = id_of(a);
  Srv_LockArea(server_, id.code, static_cast<word>(id.index));
  const auto& s = areas_[static_cast<std::size_t>(a)];
  std::vector<std::uint8_t> out(s.begin() + static_cast<std::ptrdiff_t>(offset),
                                s.begin() + static_cast<std::ptrdiff_t>(offset + count));
  Srv_UnlockArea(server_, id.code, static_cast<word>(id.index));
  return out;
}

void s7_test_server::record(const TSrvEvent& e) {
  if (e.EvtCode != evcDataRead && e.EvtCode != evcDataWrite) return;
  events_.add({e.EvtCode == evcDataWrite, e.EvtParam1, e.EvtParam2, e.EvtParam3, e.EvtParam4, e.EvtRetCode});
}

}  // namespace kvt::test
