#include "plc/opcua/browse.hpp"

#include <open62541/client.h>
#include <open62541/nodeids.h>

#include <algorithm>
#include <array>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "plc/opcua/client.hpp"
#include "plc/opcua/endpoint.hpp"
#include "plc/opcua/node_id.hpp"
#include "plc/opcua/requests.hpp"
#include "plc/value_type.hpp"

namespace kvt::plc::opcua {

namespace {

namespace vt = plc::value_type;

// Event-loop rounds of 1 ms at most that a browse waits for its session
// and channel to close.
constexpr int close_rounds = 500;

// Steps of the walk from a node up to the Objects folder.
constexpr int prefix_steps = 10;
// BrowseNext rounds in a row that bring no reference before the browse
// gives up on a server that keeps answering with continuation points only.
constexpr int max_idle_rounds = 8;

// The attributes read for every child, in this order.
constexpr std::array<UA_AttributeId, 5> child_attributes{
    UA_ATTRIBUTEID_NODECLASS, UA_ATTRIBUTEID_BROWSENAME, UA_ATTRIBUTEID_VALUERANK, UA_ATTRIBUTEID_DATATYPE,
    UA_ATTRIBUTEID_ACCESSLEVEL};

UA_NodeId ns0(std::uint32_t id) noexcept { return UA_NODEID_NUMERIC(0, id); }

bool good(UA_StatusCode code) noexcept { return code == UA_STATUSCODE_GOOD; }

template <class Request, class Response>
void call(UA_Client* c, const Request& request, int request_type, response<Response>& answer, int response_type) {
  __UA_Client_Service(c, &request, &UA_TYPES[request_type], &answer.get(), &UA_TYPES[response_type]);
}

// A node id copied out of a response that does not live long enough.
class owned_node_id {
 public:
  explicit owned_node_id(const UA_NodeId& id) {
    if (!good(UA_NodeId_copy(&id, &id_))) throw std::bad_alloc();
  }
  ~owned_node_id() { UA_NodeId_clear(&id_); }
  owned_node_id(const owned_node_id&) = delete;
  owned_node_id& operator=(const owned_node_id&) = delete;

  void assign(const UA_NodeId& id) {
    UA_NodeId next;
    if (!good(UA_NodeId_copy(&id, &next))) throw std::bad_alloc();
    UA_NodeId_clear(&id_);
    id_ = next;
  }
  const UA_NodeId& get() const noexcept { return id_; }

 private:
  UA_NodeId id_;
};

// Browse results taken over from their responses, so that the references of
// every page of a listing stay valid until the listing is done.
class result_pages {
 public:
  result_pages() = default;
  ~result_pages() {
    for (UA_BrowseResult& r : pages_) UA_BrowseResult_clear(&r);
  }
  result_pages(const result_pages&) = delete;
  result_pages& operator=(const result_pages&) = delete;

  // Moves `r` in; `r` is left empty for its response to clear.
  const UA_BrowseResult& take(UA_BrowseResult& r) {
    pages_.push_back(r);
    UA_BrowseResult_init(&r);
    return pages_.back();
  }

 private:
  std::vector<UA_BrowseResult> pages_;
};

std::string text_of(const UA_String& s) {
  return s.length == 0 ? std::string{} : std::string(reinterpret_cast<const char*>(s.data), s.length);
}

std::string print(const UA_NodeId& id) {
  UA_String out = UA_STRING_NULL;
  if (!good(UA_NodeId_print(&id, &out))) return {};
  std::string text = text_of(out);
  UA_String_clear(&out);
  return text;
}

const void* scalar_of(const UA_DataValue& v, int type_index) noexcept {
  const bool ok = v.hasValue && (!v.hasStatus || good(v.status));
  if (!ok || v.value.type != &UA_TYPES[type_index] || !UA_Variant_isScalar(&v.value)) return nullptr;
  return v.value.data;
}

// Tells the server it may forget continuation points the browse does not
// follow. A failure changes nothing: the server drops them with the session.
void release(UA_Client* c, std::span<UA_ByteString> points) {
  if (points.empty()) return;
  UA_BrowseNextRequest request;
  UA_BrowseNextRequest_init(&request);
  request.releaseContinuationPoints = true;
  request.continuationPoints = points.data();  // borrowed: the request is not cleared
  request.continuationPointsSize = points.size();
  response<UA_BrowseNextResponse> answer(UA_TYPES[UA_TYPES_BROWSENEXTRESPONSE]);
  call(c, request, UA_TYPES_BROWSENEXTREQUEST, answer, UA_TYPES_BROWSENEXTRESPONSE);
}

UA_BrowseDescription description(const UA_NodeId& node, UA_BrowseDirection direction, std::uint32_t reference_type,
                                 std::uint32_t result_mask) noexcept {
  UA_BrowseDescription d;
  UA_BrowseDescription_init(&d);
  d.nodeId = node;  // borrowed
  d.browseDirection = direction;
  d.referenceTypeId = ns0(reference_type);
  d.includeSubtypes = true;
  d.resultMask = result_mask;
  return d;
}

// Every forward hierarchical reference of `node`: the first page from
// Browse, the rest through BrowseNext while the server hands out
// continuation points. A listing given up half-way releases its point.
bool list_children(UA_Client* c, const UA_NodeId& node, result_pages& pages,
                   std::vector<const UA_ReferenceDescription*>& refs) {
  UA_BrowseDescription d =
      description(node, UA_BROWSEDIRECTION_FORWARD, UA_NS0ID_HIERARCHICALREFERENCES, UA_BROWSERESULTMASK_ALL);
  UA_BrowseRequest request;
  UA_BrowseRequest_init(&request);
  request.nodesToBrowse = &d;
  request.nodesToBrowseSize = 1;
  response<UA_BrowseResponse> first(UA_TYPES[UA_TYPES_BROWSERESPONSE]);
  call(c, request, UA_TYPES_BROWSEREQUEST, first, UA_TYPES_BROWSERESPONSE);
  if (!good(first.get().responseHeader.serviceResult) || first.get().resultsSize != 1) return false;
  if (UA_StatusCode_isBad(first.get().results[0].statusCode)) return false;

  const UA_BrowseResult* page = &pages.take(first.get().results[0]);
  int idle_rounds = 0;
  for (;;) {
    for (std::size_t i = 0; i < page->referencesSize; ++i) refs.push_back(&page->references[i]);
    UA_ByteString point = page->continuationPoint;  // borrowed from the page
    if (point.length == 0) return true;
    idle_rounds = page->referencesSize == 0 ? idle_rounds + 1 : 0;
    if (refs.size() >= max_children || idle_rounds > max_idle_rounds) {
      release(c, std::span(&point, 1));
      return false;
    }

    UA_BrowseNextRequest next;
    UA_BrowseNextRequest_init(&next);
    next.continuationPoints = &point;
    next.continuationPointsSize = 1;
    response<UA_BrowseNextResponse> more(UA_TYPES[UA_TYPES_BROWSENEXTRESPONSE]);
    call(c, next, UA_TYPES_BROWSENEXTREQUEST, more, UA_TYPES_BROWSENEXTRESPONSE);
    if (!good(more.get().responseHeader.serviceResult) || more.get().resultsSize != 1 ||
        UA_StatusCode_isBad(more.get().results[0].statusCode)) {
      // The point may still be held (a time-out); releasing a spent one is harmless.
      release(c, std::span(&point, 1));
      return false;
    }
    page = &pages.take(more.get().results[0]);
  }
}

// Reads `items` in requests of at most `batch` items each and hands every
// result to `on_value(index, value)`.
template <class OnValue>
bool read_batched(UA_Client* c, std::span<UA_ReadValueId> items, std::size_t batch, OnValue&& on_value) {
  for (std::size_t first = 0; first < items.size(); first += batch) {
    const std::size_t n = std::min(batch, items.size() - first);
    UA_ReadRequest request;
    UA_ReadRequest_init(&request);
    request.timestampsToReturn = UA_TIMESTAMPSTORETURN_NEITHER;
    request.nodesToRead = items.data() + first;  // borrowed
    request.nodesToReadSize = n;
    response<UA_ReadResponse> answer(UA_TYPES[UA_TYPES_READRESPONSE]);
    call(c, request, UA_TYPES_READREQUEST, answer, UA_TYPES_READRESPONSE);
    if (!good(answer.get().responseHeader.serviceResult) || answer.get().resultsSize != n) return false;
    for (std::size_t k = 0; k < n; ++k) on_value(first + k, answer.get().results[k]);
  }
  return true;
}

UA_ReadValueId read_item(const UA_NodeId& node, UA_AttributeId attribute) noexcept {
  UA_ReadValueId item;
  UA_ReadValueId_init(&item);
  item.nodeId = node;  // borrowed
  item.attributeId = attribute;
  return item;
}

// Items per Read and nodes per Browse request: the server's operation
// limits where it reports them.
struct batch_sizes {
  std::size_t read = default_batch;
  std::size_t browse = default_batch;
};

batch_sizes server_limits(UA_Client* c) {
  const UA_NodeId max_read = ns0(UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERREAD);
  const UA_NodeId max_browse = ns0(UA_NS0ID_SERVER_SERVERCAPABILITIES_OPERATIONLIMITS_MAXNODESPERBROWSE);
  std::array<UA_ReadValueId, 2> items{read_item(max_read, UA_ATTRIBUTEID_VALUE),
                                      read_item(max_browse, UA_ATTRIBUTEID_VALUE)};
  batch_sizes sizes;
  read_batched(c, items, items.size(), [&](std::size_t k, const UA_DataValue& v) {
    const auto* limit = static_cast<const UA_UInt32*>(scalar_of(v, UA_TYPES_UINT32));
    if (limit == nullptr || *limit == 0) return;  // none reported: no limit
    (k == 0 ? sizes.read : sizes.browse) = std::min<std::size_t>(*limit, max_batch);
  });
  return sizes;
}

std::optional<std::string> browse_name(UA_Client* c, const UA_NodeId& node) {
  std::array<UA_ReadValueId, 1> item{read_item(node, UA_ATTRIBUTEID_BROWSENAME)};
  std::optional<std::string> name;
  read_batched(c, item, 1, [&](std::size_t, const UA_DataValue& v) {
    if (const auto* q = static_cast<const UA_QualifiedName*>(scalar_of(v, UA_TYPES_QUALIFIEDNAME)))
      name = text_of(q->name);
  });
  return name;
}

// The names of `start` and of its parents, outermost first, each followed
// by a dot. The walk goes up by the first inverse hierarchical reference
// and stops at the Objects folder, at a folder that organizes the node
// (whose own name is left out), or after a fixed number of steps.
std::string path_prefix(UA_Client* c, const UA_NodeId& start) {
  const UA_NodeId objects = ns0(UA_NS0ID_OBJECTSFOLDER);
  const UA_NodeId organizes = ns0(UA_NS0ID_ORGANIZES);
  owned_node_id current(start);
  std::string prefix;
  for (int step = 0; step < prefix_steps; ++step) {
    if (UA_NodeId_equal(&current.get(), &objects)) break;
    const std::optional<std::string> name = browse_name(c, current.get());
    if (!name || name->empty()) break;
    prefix = prefix.empty() ? *name : *name + "." + prefix;

    UA_BrowseDescription d = description(current.get(), UA_BROWSEDIRECTION_INVERSE, UA_NS0ID_HIERARCHICALREFERENCES,
                                         UA_BROWSERESULTMASK_REFERENCETYPEID);
    UA_BrowseRequest request;
    UA_BrowseRequest_init(&request);
    request.requestedMaxReferencesPerNode = 1;  // the first parent is all the walk follows
    request.nodesToBrowse = &d;
    request.nodesToBrowseSize = 1;
    response<UA_BrowseResponse> answer(UA_TYPES[UA_TYPES_BROWSERESPONSE]);
    call(c, request, UA_TYPES_BROWSEREQUEST, answer, UA_TYPES_BROWSERESPONSE);
    if (!good(answer.get().responseHeader.serviceResult) || answer.get().resultsSize == 0) break;
    UA_BrowseResult& parents = answer.get().results[0];
    release(c, std::span(&parents.continuationPoint, parents.continuationPoint.length > 0 ? 1 : 0));
    if (parents.referencesSize == 0) break;
    const UA_ReferenceDescription& up = parents.references[0];
    if (UA_NodeId_equal(&up.referenceTypeId, &organizes) || up.nodeId.serverIndex != 0) break;
    current.assign(up.nodeId.nodeId);
  }
  if (!prefix.empty()) prefix += '.';
  return prefix;
}

// What the reads found out about one child.
struct child {
  const UA_NodeId* node = nullptr;  // in the browse results
  UA_NodeClass node_class = UA_NODECLASS_UNSPECIFIED;
  std::string browse_name;
  bool scalar = false;
  std::uint32_t type = 0;  // value type; 0: not one the page can bind
  std::uint8_t access_level = 0;
  bool aggregates = false;  // set for scalar variables of other types only
};

std::uint32_t value_type_of(const UA_NodeId& data_type) noexcept {
  if (data_type.namespaceIndex != 0 || data_type.identifierType != UA_NODEIDTYPE_NUMERIC) return 0;
  switch (data_type.identifier.numeric) {
    case UA_NS0ID_BOOLEAN: return vt::boolean;
    case UA_NS0ID_SBYTE: return vt::s8;
    case UA_NS0ID_BYTE: return vt::u8;
    case UA_NS0ID_INT16: return vt::s16;
    case UA_NS0ID_UINT16: return vt::u16;
    case UA_NS0ID_INT32: return vt::s32;
    case UA_NS0ID_UINT32:
    case 3005: return vt::u32;
    case UA_NS0ID_FLOAT: return vt::real;
    case UA_NS0ID_DOUBLE: return vt::lreal;
    default: return 0;
  }
}

void note_attribute(child& ch, UA_AttributeId attribute, const UA_DataValue& v) {
  switch (attribute) {
    case UA_ATTRIBUTEID_NODECLASS:
      if (const auto* nc = static_cast<const UA_NodeClass*>(scalar_of(v, UA_TYPES_NODECLASS))) ch.node_class = *nc;
      else if (const auto* n = static_cast<const UA_Int32*>(scalar_of(v, UA_TYPES_INT32)))
        ch.node_class = static_cast<UA_NodeClass>(*n);
      break;
    case UA_ATTRIBUTEID_BROWSENAME:
      if (const auto* q = static_cast<const UA_QualifiedName*>(scalar_of(v, UA_TYPES_QUALIFIEDNAME)))
        ch.browse_name = text_of(q->name);
      break;
    case UA_ATTRIBUTEID_VALUERANK:
      if (const auto* rank = static_cast<const UA_Int32*>(scalar_of(v, UA_TYPES_INT32)))
        ch.scalar = *rank == UA_VALUERANK_SCALAR;
      break;
    case UA_ATTRIBUTEID_DATATYPE:
      if (const auto* id = static_cast<const UA_NodeId*>(scalar_of(v, UA_TYPES_NODEID))) ch.type = value_type_of(*id);
      break;
    case UA_ATTRIBUTEID_ACCESSLEVEL:
      if (const auto* level = static_cast<const UA_Byte*>(scalar_of(v, UA_TYPES_BYTE))) ch.access_level = *level;
      break;
    default: break;
  }
}

// Access bits of a tag descriptor: 3 read and write, 2 read only, 1 write
// only, 0 neither.
std::uint64_t access_bits(std::uint8_t level) noexcept {
  const bool readable = (level & UA_ACCESSLEVELMASK_READ) != 0;
  const bool writable = (level & UA_ACCESSLEVELMASK_WRITE) != 0;
  return writable ? (readable ? 3 : 1) : (readable ? 2 : 0);
}

bool needs_aggregates_check(const child& ch) noexcept {
  return ch.node_class == UA_NODECLASS_VARIABLE && ch.scalar && ch.type == 0;
}

// Marks the children (scalar variables of other types) that aggregate at
// least one node: one forward Browse by Aggregates per batch, asking for a
// single reference each; the continuation points that come back are
// released at once.
bool check_aggregates(UA_Client* c, std::span<child*> nodes, std::size_t batch) {
  std::vector<UA_BrowseDescription> descriptions;
  std::vector<UA_ByteString> points;
  for (std::size_t first = 0; first < nodes.size(); first += batch) {
    const std::size_t n = std::min(batch, nodes.size() - first);
    descriptions.clear();
    for (std::size_t k = 0; k < n; ++k)
      descriptions.push_back(description(*nodes[first + k]->node, UA_BROWSEDIRECTION_FORWARD, UA_NS0ID_AGGREGATES,
                                         UA_BROWSERESULTMASK_NONE));
    UA_BrowseRequest request;
    UA_BrowseRequest_init(&request);
    request.requestedMaxReferencesPerNode = 1;
    request.nodesToBrowse = descriptions.data();
    request.nodesToBrowseSize = n;
    response<UA_BrowseResponse> answer(UA_TYPES[UA_TYPES_BROWSERESPONSE]);
    call(c, request, UA_TYPES_BROWSEREQUEST, answer, UA_TYPES_BROWSERESPONSE);
    if (!good(answer.get().responseHeader.serviceResult) || answer.get().resultsSize != n) return false;
    points.clear();
    for (std::size_t k = 0; k < n; ++k) {
      UA_BrowseResult& r = answer.get().results[k];
      if (UA_StatusCode_isBad(r.statusCode)) continue;
      nodes[first + k]->aggregates = r.referencesSize > 0 || r.continuationPoint.length > 0;
      if (r.continuationPoint.length > 0) points.push_back(r.continuationPoint);  // borrowed
    }
    release(c, points);
  }
  return true;
}

// The tag descriptor of a child the page is shown, if it is shown.
std::optional<std::uint64_t> descriptor_of(const child& ch) noexcept {
  if (ch.node_class == UA_NODECLASS_OBJECT) return 0;
  if (ch.node_class != UA_NODECLASS_VARIABLE || !ch.scalar) return std::nullopt;
  if (ch.type == 0) return ch.aggregates ? std::optional<std::uint64_t>(0) : std::nullopt;
  const std::uint64_t access = access_bits(ch.access_level);
  if (access == 0) return std::nullopt;
  return plc::make_tag(ch.type, access);
}

bool browse_connected(UA_Client* c, const UA_NodeId& node, std::vector<listing_entry>& entries) {
  const std::string prefix = path_prefix(c, node);

  result_pages pages;
  std::vector<const UA_ReferenceDescription*> refs;
  if (!list_children(c, node, pages, refs)) return false;

  // Children on another server, or named by namespace URI, are not
  // addressable through this session's namespace table.
  std::vector<child> children;
  children.reserve(refs.size());
  for (const UA_ReferenceDescription* r : refs)
    if (r->nodeId.serverIndex == 0 && r->nodeId.namespaceUri.length == 0) {
      child& ch = children.emplace_back();
      ch.node = &r->nodeId.nodeId;
    }
  if (children.empty()) return true;

  const batch_sizes batch = server_limits(c);
  std::vector<UA_ReadValueId> items;
  items.reserve(children.size() * child_attributes.size());
  for (const child& ch : children)
    for (UA_AttributeId a : child_attributes) items.push_back(read_item(*ch.node, a));
  const bool read = read_batched(c, items, batch.read, [&](std::size_t k, const UA_DataValue& v) {
    note_attribute(children[k / child_attributes.size()], child_attributes[k % child_attributes.size()], v);
  });
  if (!read) return false;

  std::vector<child*> to_check;
  for (child& ch : children)
    if (needs_aggregates_check(ch)) to_check.push_back(&ch);
  if (!check_aggregates(c, to_check, batch.browse)) return false;

  for (const child& ch : children) {
    const std::optional<std::uint64_t> tag = descriptor_of(ch);
    if (!tag || ch.browse_name.empty()) continue;
    std::string path = print(*ch.node);
    if (path.empty()) continue;
    entries.push_back({.name = prefix + ch.browse_name, .path = std::move(path), .tag = *tag});
  }
  return true;
}

// Closes the session and the channel without the library's synchronous
// close, which waits a whole 100 ms round of its event loop for a channel
// that is long closed. What is still open after the rounds is closed by the
// client's destructor.
void close_quickly(UA_Client* c) noexcept {
  if (!good(UA_Client_disconnectAsync(c))) return;
  for (int round = 0; round < close_rounds; ++round) {
    UA_SecureChannelState channel = UA_SECURECHANNELSTATE_CLOSED;
    UA_SessionState session = UA_SESSIONSTATE_CLOSED;
    UA_StatusCode status = UA_STATUSCODE_GOOD;
    UA_Client_getState(c, &channel, &session, &status);
    if (channel == UA_SECURECHANNELSTATE_CLOSED) return;
    UA_Client_run_iterate(c, 1);
  }
}

}  // namespace

bool browse(std::string_view host, std::int32_t port, std::string_view node_text,
            std::vector<listing_entry>& entries) {
  try {
    // A text that names no node is refused before any connection is made.
    const handle node(node_text);
    if (!node.valid()) return false;
    const std::optional<std::string> url = endpoint_url(host, port);
    if (!url) return false;
    client session(browse_timeout_ms);
    if (!good(session.connect(*url)) || !session.session_active()) return false;
    std::vector<listing_entry> found;
    const bool browsed = browse_connected(session.get(), node.id(), found);
    close_quickly(session.get());
    if (!browsed) return false;
    entries.insert(entries.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace kvt::plc::opcua
