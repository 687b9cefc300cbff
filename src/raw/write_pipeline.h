// Writing the selected records while the exports are still being read.
//
// Each selected record is rendered and written to a file of the run's
// staging folder (staging.h) by a pool of workers as soon as it is read, and
// its memory goes once the file is staged. Nothing becomes visible until
// every export has been read: then the staged files are renamed into place in
// record order. So a run prints, returns and leaves exactly what reading
// everything first and writing afterwards would, faults included:
// - a fault in reading removes every staged file, and the output folder when
//   this run made it;
// - when record k can't be written, staging stops after it, reading runs on
//   (a fault there still comes first), then the records before k are put in
//   place and k's fault is thrown;
// - of two records with one trace ID, the later one's file is the one left,
//   and its name is looked at again before it replaces the earlier one's.
// An interrupt takes the same way out as a fault in reading, once the
// stagings and the rename under way have ended.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "raw/model.h"
#include "raw/read_folder.h"
#include "utils/interrupt.h"
#include "utils/system.h"
#include "utils/workers.h"

namespace spansift {

class WritePipeline final : public RecordSink, public InterruptCleanup {
 public:
  // `trace_ids` as write_traces takes it; records are staged by `workers`
  // (where a pool without threads stages them as they come).
  WritePipeline(std::string_view trace_ids, System& system, Workers& workers);
  // Drops the records not yet staged, waits for those being staged, and
  // removes every staged file; after a fault in reading, also the output
  // folder if it made it.
  ~WritePipeline() override;
  WritePipeline(const WritePipeline&) = delete;
  WritePipeline& operator=(const WritePipeline&) = delete;

  // The folder that the output folder goes in, before the first record; once.
  // Makes the output folder, saying nothing, and returns true: records are
  // staged, each item in a store of its own. When the folder can't be made,
  // returns false: records are kept, and commit() hands them to write_traces,
  // which stops with its message.
  bool open(std::string_view base_folder) override;

  // One single-item record, in reading order, before commit(). A record that
  // the selection passes over is dropped at once. May wait while the workers
  // are behind.
  void receive(JaegerTrace&& record) override;
  // Whether there is a selection, and whether it takes records of this
  // trace ID.
  bool selective() const override;
  bool wants(std::string_view trace_id) const override;

  // Once, after open(), when reading has ended without a fault: puts the
  // staged files in place in record order and returns how many files were
  // written. Throws what writing in turn would have thrown, after putting in
  // place the files before the record that failed.
  std::uint64_t commit();

  // The interrupt's way out: what the destructor does after a fault in reading.
  void on_interrupt() noexcept override;

  struct State;

 private:
  std::unique_ptr<State> state_;
  InterruptRegistration registration_{*this};
};

}  // namespace spansift
