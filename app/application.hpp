// The program as a whole: start-up, the worker threads, shutdown.
#pragma once

namespace kvt {

// Runs the program with its command line; returns the process exit code.
int run_application(int argc, char** argv);

}  // namespace kvt
