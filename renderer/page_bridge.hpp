// The page bridge in WebKit's web process: gives every script context of the
// page a `connect` object over the program's three shared-memory buffers and
// the file functions. Contexts that appear before the buffers are known wait
// and are bound when "SetupSharedMemory" arrives.
#pragma once

#include <jsc/jsc.h>
#include <webkit/webkit-web-process-extension.h>

#include <vector>

#include "platform/shared_memory.hpp"
#include "browser/gobject_ptr.hpp"

namespace kvt::page {

class page_bridge {
 public:
  // A script context was created for a frame (main frame or sub-frame).
  void context_created(WebKitWebPage* page, JSCContext* context);

  // "SetupSharedMemory": maps the three buffers from the message's
  // descriptors and binds the waiting contexts. A repeated message finds the
  // buffers open and changes nothing.
  void setup_shared_memory(WebKitUserMessage* message);

  bool buffers_open() const noexcept { return command_.is_open() && signal_.is_open() && ros_.is_open(); }

 private:
  struct waiting_context {
    gobject_ptr<WebKitWebPage> page;
    gobject_ptr<JSCContext> context;
  };
  void bind_waiting_contexts();
  void install(WebKitWebPage* page, JSCContext* context);

  shared_memory command_;
  shared_memory signal_;
  shared_memory ros_;
  std::vector<waiting_context> waiting_;
};

}  // namespace kvt::page
