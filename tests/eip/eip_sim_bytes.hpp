// Little-endian reading and writing for the EtherNet/IP test controller:
// every field of the encapsulation and of CIP travels low byte first.
#pragma once

#include "support/le_bytes.hpp"

namespace kvt::test::eip_sim {

using le::bytes;
using le::put_bytes;
using le::put_u16;
using le::put_u32;
using le::put_u8;
using le::reader;
using le::set_u16;
using le::set_u32;

}  // namespace kvt::test::eip_sim
