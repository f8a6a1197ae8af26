// Messages between the window (application process) and the page bridge in
// WebKit's web process, with the GVariant shape of their arguments.
#pragma once

namespace kvt::page::messages {

// Window → bridge, after every finished load: the three buffers' names and
// sizes; the message's descriptor list carries the three mappings in the same
// order (the web process sandbox has a private /dev/shm).
inline constexpr const char* setup_shared_memory = "SetupSharedMemory";
inline constexpr const char* setup_shared_memory_type = "(sisisi)";

// Bridge → window: id, directory picker, multiple selection, title, default
// path, accept filters.
inline constexpr const char* file_dialog_request = "FileSystemDialogRequest";
inline constexpr const char* file_dialog_request_type = "(ibbssas)";

// Window → bridge: id, the chosen paths (empty when cancelled).
inline constexpr const char* file_dialog_response = "FileSystemDialogResponse";
inline constexpr const char* file_dialog_response_type = "(ias)";

// Initialisation data of the bridge: the command server's port, --dev.
inline constexpr const char* bridge_settings_type = "(ub)";

}  // namespace kvt::page::messages
