# Sanitizer builds apply to every target, third-party code built here included.
if(KVT_SANITIZE)
  add_compile_options(-fsanitize=${KVT_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${KVT_SANITIZE})
  if(KVT_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
if(KVT_SANITIZE MATCHES "thread")
  # Asio's fenced blocks use std::atomic_thread_fence, which GCC warns
  # ThreadSanitizer does not model; Asio's own locking keeps its queues safe.
  add_compile_options(-Wno-tsan)
endif()
