// What an interrupted run must not leave behind: the hidden files it staged
// and an output folder it made. SIGINT, SIGTERM and SIGHUP are taken by one
// thread of their own, which removes what is registered here and then ends
// the process by the same signal.
#pragma once

#include <string>

namespace spansift {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread, and so in every
// thread started from it afterwards, and starts the thread that waits for
// them. Call once, from main, before any other thread exists.
void clean_up_on_interrupt();

// Staging a file: begin_staging() before its temporary file is created (false
// once an interrupt is being handled: stage nothing then), end_staging() once
// it exists whole (`path`) or failed (empty `path`). An interrupt waits for
// stagings under way, so a file being created is never missed.
bool begin_staging();
void end_staging(const std::string& path);

// A staged file renamed into place or removed: no longer to clean up.
void forget_staged(const std::string& path);

// The output folder, when this run made it: removed on an interrupt if
// empty by then. An empty path forgets it.
void set_made_folder(const std::string& path);

}  // namespace spansift
