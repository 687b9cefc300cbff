// Turning the input path (one export file or a folder of them) into records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "raw/json/read_into.h"
#include "raw/model.h"
#include "raw/model_store.h"
#include "utils/report.h"
#include "utils/system.h"
#include "utils/workers.h"

namespace spansift {

// Takes each single-item record as soon as it has been read, instead of the
// list that reading returns.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Before the first record: the folder that the output folder goes in.
  // True when records are to come as soon as each item is read, each item
  // in a store of its own; false when they may come an export at a time,
  // sharing one store for the run.
  virtual bool open(std::string_view base_folder) = 0;
  // One record, in reading order; it may throw, which stops reading.
  virtual void receive(JaegerTrace&& record) = 0;
  // Whether it wants only some records (by trace ID, wants()): the others
  // are read and checked but not stored, nor given to it. Asked on any thread.
  virtual bool selective() const = 0;
  virtual bool wants(std::string_view trace_id) const = 0;
};

struct ReadResult {
  std::vector<JaegerTrace> traces;  // single-item records in reading order, unless they went to a sink
  std::uint64_t trace_count = 0;    // records read, whichever way they went
  std::int32_t file_count = 0;
  std::string base_folder;  // where the output folder goes
};

// Reads the export file `input` (extension exactly "json") or every regular
// file whose path ends in ".json" directly in the folder `input`, making every
// system call through `system`, and printing and filing through `output`.
// Throws Stop on any fault. With a `sink`, the
// records go there as they are read, each item with a store of its own (or
// of the few items or the small export read ahead with it) that goes when the
// sink lets go of it, and `traces` stays empty; then `workers`, if given,
// read exports and items ahead of the reader when they may (workers.h). A run
// prints, returns and throws the same with or without them.
ReadResult read_file_or_folder(std::string_view input, System& system, Output& output, RecordSink* sink,
                               Workers* workers);

// Announces (to `output`), reads (into `into`, see parse_trace_json; items
// ahead on `workers` when given) and splits one export file through
// `system`; throws Stop if it can't be read.
std::vector<JaegerTrace> read_and_split_file(const std::string& path, ReadInto into, System& system, Output& output,
                                             Workers* workers);

}  // namespace spansift
