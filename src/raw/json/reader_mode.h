// How the reader is put together, chosen once per process from the
// environment. The frame loop defines every result; the straight path only
// reads faster what it can. SPANSIFT_READER=general turns the straight path
// off, so that every test can check that the frame loop alone gives the
// same result.
#pragma once

namespace spansift {

// Whether the straight path is on: unless SPANSIFT_READER is "general".
bool straight_path_on() noexcept;

// Throws Stop when SPANSIFT_READER holds a value other than "general" (or
// nothing), so that a misspelt setting never passes for the default.
void check_reader_setting();

}  // namespace spansift
