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
std::uint64_t write_traces(std::string_view base_folder, std::vector<JaegerTrace>&& records, std::string_view trace_ids,
                           System& system = posix_system());

}  // namespace spansift
