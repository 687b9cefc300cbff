// Reading the items of an export's `data` on the run's workers, ahead of the
// reader in turn, which stays the one authority on the export.
//
// A cheap scan (item_scan.h) guesses where items begin and end; batches of
// them are read by the workers, each item on its own as one whole value that
// must end exactly where the scan said, the items of a batch into one store.
// When the reader in turn comes to an item, it asks for it by its offset: if
// that item was read ahead without a fault, the reader takes it and skips its
// bytes; otherwise (no guess there, a fault, a guess that proved wrong, a
// batch no worker had begun) it reads the item itself, as it would have
// anyway. So a run ends exactly as reading in turn, faults, lines and columns
// included; only whole, valid items are read in parallel.
//
// What is held ahead is bounded: input bytes by the window (a few hundred KB
// per worker, or twice the largest item read ahead so far), items by the
// batches in it, each with one store. Items larger than `largest` and batches
// of items smaller on average than `smallest` are read in turn, and so is
// everything while the workers have records to stage (workers.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "raw/json/item_scan.h"
#include "raw/json/items_ahead.h"
#include "raw/json/json_input.h"
#include "raw/json/read_into.h"
#include "utils/ahead_window.h"
#include "utils/simd/padded.h"
#include "utils/workers.h"

namespace spansift {

// How far ahead of the reader items are read, in bytes of the input. Ahead of
// the reader by little: the bytes are still in the processors' caches when it
// passes over them.
struct ReadAheadSizes {
  // Stream form: read from the file at once, and scanned. Each block hands
  // the workers several batches at once: in blocks of two batches, a worker
  // that was ahead of the reader slept and was woken for each block.
  std::size_t block = std::size_t{512} << 10;
  std::size_t batch = std::size_t{64} << 10;  // items read by one task
  // Ahead of the reader per thread (and twice the largest item so far): far
  // enough that a thread finds a batch no one has begun, when items passed
  // over cost it little.
  std::size_t window = std::size_t{1} << 20;
  std::size_t largest = std::size_t{4} << 20;  // the largest item read ahead
  // Items smaller than this on average cost the reader about as much to take
  // as to read: their batches are read in turn.
  std::size_t smallest = 512;
};

struct ReadAheadBatch;

class ReadAhead final : public ItemsAhead {
 public:
  // Items are read by `workers` into stores from `items.new_store()`,
  // which is then called on the workers' threads; `selects`, when given, is
  // asked there which items to keep whole (ReadInto::selects).
  ReadAhead(Workers& workers, ItemSink& items, const ItemSink* selects, ReadAheadSizes sizes);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Memory form: the text is `*owner` from byte `from` on, and the reader in
  // turn reads the view returned. This and every batch under way share the
  // text, so it lives as long as any thread may read it.
  simd::PaddedView over_text(std::shared_ptr<const simd::PaddedString> owner, std::size_t from);
  // Stream form: the export is read through `file` in blocks, and the reader
  // in turn reads it through the function returned, which gives the same
  // bytes. A failed read ends reading ahead, and is the reader's when it
  // gets there: it is not tried again.
  ReadSome over_stream(ReadSome file);

  bool claim(std::uint64_t at, ClaimedItem& out) override;

  // Stream form: bytes of the input read at once.
  struct Block;

 private:
  void top_up(std::uint64_t at);
  // Whether the scan, at input offset `scanned_to`, goes on; an item that it
  // will not follow to its end is forgotten.
  bool scan_further(std::uint64_t scanned_to);
  void read_blocks();
  void found(const std::vector<ItemSpan>& spans);
  void post_forming();
  Status serve(char* buffer, std::size_t capacity, std::size_t& got);
  void drop_unneeded_blocks();

  // Constant after construction.
  ItemSink& items_;
  const ItemSink* selects_;
  const ReadAheadSizes sizes_;

  // The reader's thread's alone: the workers see only the batches they read.
  std::uint64_t window_;         // how far ahead of the reader spans are found
  std::uint64_t reader_at_ = 0;  // where the reader in turn last asked for an item
  bool stopped_ = false;         // nothing more of this export is read ahead
  ItemScanner scanner_;
  std::vector<ItemSpan> spans_;  // found by the last scan

  // Memory form.
  std::shared_ptr<const simd::PaddedString> text_owner_;
  simd::PaddedView text_;

  // Stream form.
  ReadSome file_;
  std::deque<std::shared_ptr<const Block>> blocks_;  // not yet served, or holding an open span
  std::uint64_t read_to_ = 0;                        // input offset past the last block read
  std::uint64_t served_ = 0;                         // bytes given to the reader in turn
  bool ended_ = false;                               // the file's end was read
  Status failed_;                                    // a read that failed at read_to_

  std::shared_ptr<ReadAheadBatch> forming_;  // not posted yet
  std::shared_ptr<ReadAheadBatch> current_;  // the one the reader is in
  bool current_done_ = false;                // read by a worker, not cancelled
  std::size_t next_ = 0;                     // current_'s next span
  // Last: it waits for the batches under way, which refer to the above.
  AheadWindow<ReadAheadBatch> batches_;
};

}  // namespace spansift
