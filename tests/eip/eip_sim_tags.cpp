#include "eip/eip_sim_tags.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace kvt::test::eip_sim {

namespace {

// Logix names compare without regard to case.
bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool starts_with_program(const std::string& s) {
  static const std::string prefix = "program:";
  return s.size() > prefix.size() && same_name(s.substr(0, prefix.size()), prefix);
}

std::string index_key(const std::string& program, const std::string& name) {
  std::string key;
  key.reserve(program.size() + 1 + name.size());
  for (const char c : program) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  key += '\n';
  for (const char c : name) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

// Symbol instances are not contiguous on a real controller; neither are they here.
constexpr std::uint32_t first_instance = 5;
constexpr std::uint32_t instance_step = 3;

}  // namespace

std::uint32_t type_size(std::uint8_t type) {
  switch (type) {
    case 0xC1:  // BOOL, one byte
    case 0xC2:  // SINT
    case 0xC6:  // USINT
    case 0xD1:  // BYTE
      return 1;
    case 0xC3:  // INT
    case 0xC7:  // UINT
    case 0xD2:  // WORD
      return 2;
    case 0xC4:  // DINT
    case 0xC8:  // UDINT
    case 0xCA:  // REAL
    case 0xD3:  // DWORD
      return 4;
    case 0xC5:  // LINT
    case 0xC9:  // ULINT
    case 0xCB:  // LREAL
    case 0xD4:  // LWORD
      return 8;
    default: return 0;
  }
}

bool parse_path(const std::uint8_t* data, std::size_t size, std::vector<path_item>& out) {
  reader in(data, size);
  while (in.left() > 0) {
    const std::uint8_t seg = in.u8();
    path_item item;
    if (seg == 0x91) {  // ANSI extended symbolic
      const std::uint8_t len = in.u8();
      const bytes text = in.take_bytes(len);
      if (len % 2 != 0) in.skip(1);
      item.what = path_item::kind::symbol;
      item.text.assign(text.begin(), text.end());
    } else if (seg == 0x34) {  // electronic key: format byte and 8 bytes of key data
      if (in.u8() != 0x04) return false;
      in.skip(8);
      item.what = path_item::kind::key;
    } else if (seg < 0x20) {  // port segment
      const bool extended_link = (seg & 0x10) != 0;
      std::uint32_t port = seg & 0x0F;
      const std::size_t link_size = extended_link ? in.u8() : 1;
      if (port == 0x0F) port = in.u16();
      item.what = path_item::kind::port;
      item.value = port;
      item.link = in.take_bytes(link_size);
      if (extended_link && link_size % 2 != 0) in.skip(1);
    } else if ((seg & 0xE0) == 0x20) {  // logical segment: type in bits 2-4, format in bits 0-1
      const unsigned type = (seg >> 2) & 0x07;
      const unsigned format = seg & 0x03;
      std::uint32_t value = 0;
      if (format == 0) {
        value = in.u8();
      } else if (format == 1) {
        in.skip(1);
        value = in.u16();
      } else if (format == 2) {
        in.skip(1);
        value = in.u32();
      } else {
        return false;
      }
      switch (type) {
        case 0: item.what = path_item::kind::class_id; break;
        case 1: item.what = path_item::kind::instance; break;
        case 2: item.what = path_item::kind::element; break;
        case 3: item.what = path_item::kind::connection_point; break;
        case 4: item.what = path_item::kind::attribute; break;
        default: return false;
      }
      item.value = value;
    } else {
      return false;
    }
    if (!in.good()) return false;
    out.push_back(std::move(item));
  }
  return in.good();
}

std::vector<path_item> parse_name(const std::string& text) {
  std::vector<path_item> out;
  std::size_t at = 0;
  const auto bad = [&] { throw std::invalid_argument("malformed tag name: " + text); };
  while (at < text.size()) {
    std::size_t end = at;
    while (end < text.size() && text[end] != '.' && text[end] != '[') ++end;
    if (end == at) bad();
    path_item sym;
    sym.text = text.substr(at, end - at);
    out.push_back(sym);
    at = end;
    if (at < text.size() && text[at] == '[') {
      const std::size_t close = text.find(']', at);
      if (close == std::string::npos) bad();
      std::size_t from = at + 1;
      while (from < close) {
        std::size_t comma = text.find(',', from);
        if (comma == std::string::npos || comma > close) comma = close;
        path_item el;
        el.what = path_item::kind::element;
        try {
          el.value = static_cast<std::uint32_t>(std::stoul(text.substr(from, comma - from)));
        } catch (const std::exception&) {
          bad();
        }
        out.push_back(el);
        from = comma + 1;
      }
      at = close + 1;
    }
    if (at < text.size()) {
      if (text[at] != '.') bad();
      ++at;
      if (at == text.size()) bad();
    }
  }
  if (out.empty()) bad();
  return out;
}

int tag_store::define_structure(std::string name, std::vector<member_def> members, std::uint32_t size) {
  structure_def def;
  def.name = std::move(name);
  def.id = static_cast<std::uint16_t>(0x100 + 7 * structures_.size());
  // A stand-in for the checksum a controller computes over the definition.
  std::uint16_t handle = 0x1D0F;
  for (const char c : def.name) handle = static_cast<std::uint16_t>(handle * 31 + static_cast<unsigned char>(c));
  for (const auto& m : members) handle = static_cast<std::uint16_t>(handle * 31 + m.type + m.offset);
  def.handle = handle;
  def.size = size;
  def.members = std::move(members);
  structures_.push_back(std::move(def));
  return static_cast<int>(structures_.size() - 1);
}

tag_def& tag_store::add(tag_def tag) {
  if (tag.symbol_type == 0) {
    std::uint16_t st = tag.structure >= 0 ? static_cast<std::uint16_t>(0x8000 | structure(tag.structure).id)
                                          : tag.type;
    st = static_cast<std::uint16_t>(st | (std::min<std::size_t>(tag.dims.size(), 3) << 13));
    tag.symbol_type = st;
  }
  if (tag_def* old = find(tag.program, tag.name)) {
    tag.instance = old->instance;
    *old = std::move(tag);
    return *old;
  }
  auto [it, fresh] = next_instance_.try_emplace(tag.program, first_instance);
  tag.instance = it->second;
  it->second += instance_step;
  index_[index_key(tag.program, tag.name)] = tags_.size();
  tags_.push_back(std::move(tag));
  return tags_.back();
}

void tag_store::clear() {
  tags_.clear();
  structures_.clear();
  next_instance_.clear();
  index_.clear();
}

tag_def* tag_store::find(const std::string& program, const std::string& name) {
  const auto it = index_.find(index_key(program, name));
  return it == index_.end() ? nullptr : &tags_[it->second];
}

bool tag_store::has_program(const std::string& program) const {
  return std::any_of(tags_.begin(), tags_.end(), [&](const tag_def& t) {
    return t.program.empty() && same_name(t.name, "Program:" + program);
  });
}

std::vector<const tag_def*> tag_store::scope(const std::string& program) const {
  std::vector<const tag_def*> out;
  for (const auto& t : tags_) {
    if (same_name(t.program, program)) out.push_back(&t);
  }
  std::sort(out.begin(), out.end(), [](const tag_def* a, const tag_def* b) { return a->instance < b->instance; });
  return out;
}

std::uint8_t tag_store::resolve(const std::vector<path_item>& path, std::size_t from, target& out) {
  using kind = path_item::kind;
  std::size_t at = from;
  if (at >= path.size() || path[at].what != kind::symbol) return 0x04;
  tag_def* tag = nullptr;
  if (starts_with_program(path[at].text)) {
    const std::string program = path[at].text.substr(8);
    ++at;
    if (at >= path.size() || path[at].what != kind::symbol) return 0x05;
    tag = find(program, path[at].text);
  } else {
    tag = find("", path[at].text);
  }
  ++at;
  if (tag == nullptr || !tag->readable) return 0x05;

  out.tag = tag;
  out.offset = 0;
  out.type = tag->type;
  out.structure = tag->structure;
  out.element_size = tag->element_size;
  std::vector<std::uint32_t> dims = tag->dims;
  std::size_t total = 1;
  for (const auto d : dims) total *= d;
  out.elements = total;

  while (at < path.size()) {
    if (path[at].what == kind::element) {
      if (dims.empty()) return 0x05;
      std::size_t linear = 0;
      for (const auto d : dims) {
        if (at >= path.size() || path[at].what != kind::element) return 0x04;  // fewer indexes than dimensions
        if (path[at].value >= d) return 0x05;
        linear = linear * d + path[at].value;
        ++at;
      }
      out.offset += linear * out.element_size;
      out.elements = total - linear;
      dims.clear();
      continue;
    }
    if (path[at].what == kind::symbol) {
      if (out.structure < 0 || !dims.empty()) return 0x05;
      const auto& def = structure(out.structure);
      const auto m = std::find_if(def.members.begin(), def.members.end(),
                                  [&](const member_def& md) { return same_name(md.name, path[at].text); });
      if (m == def.members.end()) return 0x05;
      out.offset += m->offset;
      out.type = m->type;
      out.structure = -1;
      out.element_size = type_size(m->type);
      out.elements = 1;
      total = 1;
      ++at;
      continue;
    }
    return 0x04;
  }
  return 0;
}

}  // namespace kvt::test::eip_sim
