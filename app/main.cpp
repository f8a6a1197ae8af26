// Kestrel Connect's entry point: options, shared memory, the worker threads,
// and the ordered shutdown.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/application.hpp"

int main(int argc, char** argv) { return kvt::run_application(argc, argv); }
