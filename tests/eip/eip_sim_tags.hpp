// The EtherNet/IP test controller's tag memory: tags at controller and
// program scope, arrays of up to three dimensions, structures of atomic
// members, and the decoding of CIP request paths (and of tag names written
// as text) into a place in that memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "eip/eip_sim_bytes.hpp"

namespace kvt::test::eip_sim {

// One segment of a CIP path.
struct path_item {
  enum class kind { symbol, element, class_id, instance, attribute, connection_point, port, key };
  kind what = kind::symbol;
  std::string text;          // symbol
  std::uint32_t value = 0;   // element index, class, instance, attribute; port number
  bytes link;                // port segment: link address
};

// Decodes a path of `size` bytes; false when a segment is malformed or of
// a kind this controller does not know.
bool parse_path(const std::uint8_t* data, std::size_t size, std::vector<path_item>& out);
// "Program:Main.Speed", "Motors[1].Speed", "Matrix[1,2]" as path items;
// throws std::invalid_argument for a malformed name.
std::vector<path_item> parse_name(const std::string& text);

// Bytes of one element of an atomic CIP type; 0 for a code it does not know.
std::uint32_t type_size(std::uint8_t type);

struct member_def {
  std::string name;
  std::uint8_t type = 0;     // atomic CIP type code
  std::uint32_t offset = 0;  // byte offset inside the structure
};

struct structure_def {
  std::string name;
  std::uint16_t id = 0;      // template instance, the low 12 bits of the symbol type
  std::uint16_t handle = 0;  // structure handle sent after the type code 0x02A0
  std::uint32_t size = 0;    // bytes of one element
  std::vector<member_def> members;
};

struct tag_def {
  std::string program;             // "" at controller scope, else the program's name ("Main")
  std::string name;                // name inside its scope
  std::uint32_t instance = 0;      // symbol instance, given by the store
  std::uint16_t symbol_type = 0;   // as listed (attribute 2)
  std::uint8_t type = 0;           // atomic element type, 0 for a structure
  int structure = -1;              // index of the structure definition
  std::uint32_t element_size = 0;  // bytes of one element
  std::vector<std::uint32_t> dims; // array dimensions, empty for a single element
  bytes data;                      // all elements
  bool readable = true;            // false for program entries and system tags
};

// Where a resolved path points.
struct target {
  tag_def* tag = nullptr;
  std::size_t offset = 0;         // first byte inside tag->data
  std::uint8_t type = 0;          // atomic type of the addressed element, 0 for a structure
  int structure = -1;
  std::uint32_t element_size = 0;
  std::size_t elements = 0;       // elements from `offset` to the end of the addressed array
};

class tag_store {
 public:
  // Returns the definition's index.
  int define_structure(std::string name, std::vector<member_def> members, std::uint32_t size);
  // Adds a tag (replacing one of the same scope and name); gives it its
  // instance and its symbol type unless `symbol_type` is already set.
  tag_def& add(tag_def tag);
  void clear();

  // Resolves path items from `from` on; returns 0, or the CIP general status
  // to answer (0x05 for a name or index that is not there, 0x04 for a path
  // that makes no sense).
  std::uint8_t resolve(const std::vector<path_item>& path, std::size_t from, target& out);
  // A scope's entries in instance order ("" for the controller scope, which
  // also holds the program entries "Program:X").
  std::vector<const tag_def*> scope(const std::string& program) const;
  bool has_program(const std::string& program) const;
  const structure_def& structure(int index) const { return structures_.at(static_cast<std::size_t>(index)); }

 private:
  tag_def* find(const std::string& program, const std::string& name);

  std::vector<structure_def> structures_;
  std::vector<tag_def> tags_;
  std::map<std::string, std::uint32_t> next_instance_;  // by scope
  // Position in tags_ by scope and name, lower-cased: lookups stay quick
  // with thousands of tags.
  std::map<std::string, std::size_t> index_;
};

}  // namespace kvt::test::eip_sim
