// Reading the items of an export's `data` on several threads, ahead of the
// reader in turn, which stays the one authority on the export.
//
// A cheap scan (item_scan.h) guesses where items begin and end; batches of
// them are read by a task pool, each item on its own into a store of its own,
// as one whole value that must end exactly where the scan said. When the
// reader in turn comes to an item, it asks for it by its offset: if that item
// was read ahead without a fault, the reader takes it and skips its bytes;
// otherwise (no guess there, a fault, a guess that proved wrong) it reads the
// item itself, as it would have anyway. So a run ends exactly as reading in
// turn, faults, lines and columns included; only whole, valid items are read
// in parallel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

#include "raw/json/item_scan.h"
#include "raw/json/json_input.h"
#include "raw/json/read_into.h"
#include "raw/model.h"
#include "raw/model_store.h"
#include "utils/tasks.h"

namespace spansift {

struct ReadAheadBatch;

// An item read ahead, and how many bytes of the input it took.
struct ItemReadAhead {
  JaegerItem item;
  std::shared_ptr<ModelStore> store;
  std::uint64_t length = 0;
};

class ReadAhead {
 public:
  // Items are read by `tasks` into stores from `items.store_for_item()`,
  // which is then called on the pool's threads.
  ReadAhead(TaskPool& tasks, ItemSink& items, ReadAheadSizes sizes);
  // Waits for the batches that other threads are reading.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Memory form: the whole text, which must outlive this.
  void over_text(std::string_view text);
  // Stream form: the export is read through `file` in blocks, and the reader
  // in turn reads it through the function returned, which gives the same
  // bytes. A failed read ends reading ahead: the reader then reads on through
  // `file` itself, from where the fault was, and meets it where it would have.
  ReadSome over_stream(ReadSome file);

  // The reader in turn is at input offset `at`, where an item of `data`
  // begins: true, with the item, when it was read ahead whole and checked.
  bool take(std::uint64_t at, ItemReadAhead& out);

  // Stream form: bytes of the input read at once.
  struct Block;

 private:
  void top_up(std::uint64_t at);
  void read_blocks();
  void found(const std::vector<ItemSpan>& spans);
  void post_forming();
  void wait_for(ReadAheadBatch& batch);
  ssize_t serve(char* buffer, std::size_t capacity);
  void drop_served_blocks();

  TaskPool& tasks_;
  ItemSink& items_;
  const ReadAheadSizes sizes_;
  std::uint64_t window_;  // how far ahead of the reader spans are found
  ItemScanner scanner_;
  std::vector<ItemSpan> spans_;  // found by the last scan

  std::deque<std::shared_ptr<ReadAheadBatch>> batches_;  // in input order
  std::size_t next_ = 0;                                 // the front batch's next span
  std::shared_ptr<ReadAheadBatch> forming_;              // not posted yet

  // Memory form.
  std::string_view text_;

  // Stream form.
  ReadSome file_;
  std::deque<std::shared_ptr<const Block>> blocks_;  // read and not yet served, and those an open span needs
  std::uint64_t read_to_ = 0;                        // input offset past the last block read
  std::uint64_t served_ = 0;                         // bytes given to the reader in turn
  bool ended_ = false;                               // the file's end was read
  bool failed_ = false;                              // a read failed at read_to_
};

}  // namespace spansift
