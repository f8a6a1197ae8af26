// Little-endian reading and writing for the ADS test device: every field of
// the AMS/TCP header, the AMS header and the ADS commands travels low byte
// first.
#pragma once

#include "support/le_bytes.hpp"

namespace kvt::test::ads_sim {

using le::bytes;
using le::put_bytes;
using le::put_u16;
using le::put_u32;
using le::put_u8;
using le::reader;
using le::set_u16;
using le::set_u32;

}  // namespace kvt::test::ads_sim
