// Writing the selected records into the output folder, one file per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_set>
#include <vector>

#include "raw/model.h"
#include "raw/model_store.h"
#include "raw/staging.h"
#include "utils/mutex.h"
#include "utils/system.h"

namespace spansift {

// Hashes any text alike, so that a selection is looked up by a view.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

// The trace IDs to write; empty means every trace.
using TraceSelection = std::unordered_set<std::string, TextHash, std::equal_to<>>;

// Splits `trace_ids` at every ",", dropping empty pieces; pieces are kept byte for byte.
TraceSelection parse_trace_ids(std::string_view trace_ids);

// True when the selection is empty or holds the record's trace ID (the
// traceID of its first item). `record.data` must not be empty. Inline: it
// is asked of every record, and mostly of an empty selection.
inline bool is_selected(const TraceSelection& selection, std::string_view trace_id) {
  return selection.empty() || selection.contains(trace_id);
}
inline bool is_selected(const TraceSelection& selection, const JaegerTrace& record) {
  return selection.empty() || selection.contains(trace_id_of(record));
}

// The steps of writing one record, for write_traces and for writing while
// reading goes on (write_pipeline.h), inside a step of `staging`. Each throws
// Stop with the message that ends the run; `path` is the file's path, for
// those messages.

// The name of the record's file in the output folder: its trace ID and
// ".json". Throws Stop for a trace ID that holds "/".
std::string output_name(const JaegerTrace& record);

// Looks at the name `name` that a file goes to, so that a folder of that
// name, a name that is too long or a file we may not write are reported as
// such before a byte is written. Returns the mode of the regular file being
// replaced, which the new one keeps.
std::optional<mode_t> check_final_name(StagingFolder& staging, const std::string& path, const std::string& name)
    REQUIRES_SHARED(staging.step());

// Renders `record` into `buffer` (reused from record to record) and writes it
// whole to the staged file of `slot`, with the mode of the regular file it
// will replace, else 0666 less the umask. Leaves no staged file when it throws.
void stage_record(StagingFolder& staging, std::size_t slot, const std::string& path, const std::string& name,
                  const JaegerTrace& record, std::string& buffer) REQUIRES_SHARED(staging.step());

// Renames the staged file of `slot` onto `name`; when that fails, removes it
// and throws.
void commit_staged(StagingFolder& staging, std::size_t slot, const std::string& path, const std::string& name)
    REQUIRES_SHARED(staging.step());

// Creates (or keeps) the folder "Jaeger" in `base_folder` and writes each
// selected record to "{traceID}.json" in it, making every system call through
// `system`; releases every record. Returns the number of files written.
// Throws Stop on any fault; files written before it stay, and no staged file
// is left.
std::uint64_t write_traces(std::string_view base_folder, std::vector<JaegerTrace>&& records, std::string_view trace_ids,
                           System& system);

}  // namespace spansift
