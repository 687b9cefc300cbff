// What an interrupted run must not leave behind: the hidden files it staged
// and an output folder it made. SIGINT, SIGTERM and SIGHUP are taken by one
// thread of their own, which removes them and then ends the process by the
// same signal.
#pragma once

#include <functional>
#include <string>

namespace spansift {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread, and so in every
// thread started from it afterwards, and starts the thread that waits for
// them. Call once, from main, before any other thread exists.
void clean_up_on_interrupt();

// Staging a file: begin_staging() before its temporary file is created (false
// once an interrupt is being handled: stage nothing then), end_staging() once
// the file is known to the remover below, or failed. An interrupt waits for
// stagings under way, so a file being created is never missed.
bool begin_staging();
void end_staging();

// What removes every staged file still staged, and the output folder when
// this run made it (removed if empty by then); an empty function and path
// forget them. The remover runs on the interrupt's thread: it must take its
// own locks, and is never run while a staging is under way.
void set_staged_remover(std::function<void()> remover);
void set_made_folder(const std::string& path);

}  // namespace spansift
