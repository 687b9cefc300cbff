// Writing the selected records into the output folder, one file per record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "raw/model.h"
#include "utils/system.h"

namespace spansift {

// The trace IDs to write; empty means every trace.
using TraceSelection = std::unordered_set<std::string>;

// Splits `trace_ids` at every ",", dropping empty pieces; pieces are kept byte for byte.
TraceSelection parse_trace_ids(std::string_view trace_ids);

// True when the selection is empty or holds the record's trace ID (the
// traceID of its first item). `record.data` must not be empty.
bool is_selected(const TraceSelection& selection, const JaegerTrace& record);

// Creates (or keeps) the folder "Jaeger" in `base_folder` and writes each
// selected record to "{traceID}.json" in it, making every system call through
// `system`; releases every record. Returns the number of files written.
// Throws Stop on any fault; files written before it stay, and no temporary
// file is left.
// The steps of writing one record, for write_traces and for writing while
// reading goes on (write_pipeline.h). Each throws Stop with the message that
// ends the run.

// A record's file, written whole and closed under a hidden name in the output
// folder, not yet in place.
struct StagedFile {
  std::string temp_path;  // empty once renamed or removed
  std::string path;       // where it goes
};

// The path of the record's file in `folder`. Throws Stop for a trace ID that
// holds "/".
std::string output_path(const std::string& folder, const JaegerTrace& record);

// Renders `record` into `buffer` (reused from record to record) and writes it
// to a new temporary file in `folder`, with the mode of the regular file it
// will replace, else 0666 less the umask. Leaves no file behind when it throws.
StagedFile stage_record(System& system, const std::string& folder, std::string path, const JaegerTrace& record,
                        std::string& buffer);

// Renames the staged file onto its name; when that fails, removes it and throws.
void commit_staged(System& system, StagedFile& staged);

// Removes the staged file, if it is still there; failures are ignored.
void discard_staged(System& system, StagedFile& staged) noexcept;

std::uint64_t write_traces(std::string_view base_folder, std::vector<JaegerTrace>&& records, std::string_view trace_ids,
                           System& system = posix_system());

}  // namespace spansift
