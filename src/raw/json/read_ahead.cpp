#include "raw/json/read_ahead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "raw/json/json_builder.h"

namespace spansift {

struct ReadAhead::Block {
  explicit Block(std::uint64_t at, std::size_t capacity)
      : offset(at), data(std::make_unique_for_overwrite<char[]>(capacity)) {}
  std::uint64_t offset;  // input offset of its first byte
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::string_view bytes() const { return {data.get(), size}; }
  std::uint64_t end() const { return offset + size; }
};

// Consecutive spans, read by one task: by the pool, or by the reader in turn
// when it gets there first.
struct ReadAheadBatch final : OnceTask {
  struct Result {
    bool ok = false;
    JaegerItem item;
    std::shared_ptr<ModelStore> store;
  };

  explicit ReadAheadBatch(ItemSink& sink) : items(sink) {}

  std::uint64_t begin() const { return spans.front().begin; }
  std::uint64_t end() const { return spans.back().end; }

  void work() noexcept override {
    results.resize(spans.size());
    auto block = blocks.begin();
    for (std::size_t i = 0; i < spans.size(); ++i) {
      const ItemSpan span = spans[i];
      std::string_view bytes;
      if (blocks.empty()) {
        bytes = text.substr(span.begin - text_at, span.end - span.begin);
      } else {
        // The first block that reaches its end holds it whole.
        while ((*block)->end() < span.end) ++block;
        bytes = (*block)->bytes().substr(span.begin - (*block)->offset, span.end - span.begin);
      }
      Result& result = results[i];
      try {
        result.store = items.store_for_item();
        result.ok = read_item(bytes, result.store, result.item);
      } catch (...) {
        // The reader in turn reads it again, and meets whatever this was itself.
        result.ok = false;
      }
      if (!result.ok) result = Result();
    }
    blocks.clear();
  }

  ItemSink& items;
  std::vector<ItemSpan> spans;
  // Where the spans' bytes are: the text of the memory form, which starts at
  // input offset text_at; or the blocks they lie in.
  std::string_view text;
  std::uint64_t text_at = 0;
  std::vector<std::shared_ptr<const ReadAhead::Block>> blocks;
  std::vector<Result> results;
};

ReadAhead::ReadAhead(TaskPool& tasks, ItemSink& items, ReadAheadSizes sizes)
    : tasks_(tasks), items_(items), sizes_(sizes), window_((tasks.threads() + 1) * sizes.window) {}

ReadAhead::~ReadAhead() {
  // A batch refers to the item sink, which may go after this: wait for those
  // under way, and keep the others from starting.
  if (forming_) batches_.push_back(std::move(forming_));
  for (const auto& batch : batches_) {
    if (!batch->cancel()) batch->wait_while_running();
  }
}

void ReadAhead::over_text(std::string_view text) { text_ = text; }

ReadSome ReadAhead::over_stream(ReadSome file) {
  file_ = std::move(file);
  return [this](char* buffer, std::size_t capacity) { return serve(buffer, capacity); };
}

void ReadAhead::found(const std::vector<ItemSpan>& spans) {
  for (const ItemSpan& span : spans) {
    const std::uint64_t length = span.end - span.begin;
    if (length > sizes_.largest) continue;  // read in turn
    // Far enough ahead that the next items as large are found in time.
    window_ = std::max(window_, 2 * length);
    if (!forming_) {
      forming_ = std::make_shared<ReadAheadBatch>(items_);
      forming_->text = text_;
    }
    forming_->spans.push_back(span);
    if (file_) {
      // The block it lies in (the last one read), held by the batch.
      if (forming_->blocks.empty() || forming_->blocks.back() != blocks_.back()) {
        forming_->blocks.push_back(blocks_.back());
      }
    }
    if (forming_->end() - forming_->begin() >= sizes_.batch) post_forming();
  }
}

void ReadAhead::post_forming() {
  if (!forming_) return;
  tasks_.post(forming_);
  batches_.push_back(std::move(forming_));
}

void ReadAhead::top_up(std::uint64_t at) {
  if (file_) {
    read_blocks();
    return;
  }
  // Memory form: the scan stays a window ahead of the reader.
  const std::uint64_t size = text_.size();
  const std::uint64_t until = std::min(size, at + window_);
  while (scanner_.offset() < until) {
    const std::uint64_t from = scanner_.offset();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizes_.block, size - from));
    spans_.clear();
    scanner_.scan(text_.data() + from, n, spans_);
    found(spans_);
  }
}

void ReadAhead::read_blocks() {
  while (!ended_ && !failed_ && read_to_ < served_ + window_) {
    // A block starts with the bytes of the span still open, copied, so that
    // every span lies whole in one block; it is large enough that a large
    // item is copied a few times at most.
    const std::uint64_t open = scanner_.open_span();
    const std::size_t carried = open == ItemScanner::kNoSpan ? 0 : static_cast<std::size_t>(read_to_ - open);
    const std::size_t capacity = carried + std::max(sizes_.block, carried);
    auto block = std::make_shared<Block>(read_to_ - carried, capacity);
    if (carried != 0) {
      // The last block holds the open span from its start: it began there, or was carried there.
      const Block& last = *blocks_.back();
      std::memcpy(block->data.get(), last.data.get() + (open - last.offset), carried);
    }
    const ssize_t n = file_(block->data.get() + carried, capacity - carried);
    if (n < 0) {
      failed_ = true;  // left for the reader in turn to meet
      break;
    }
    if (n == 0) {
      ended_ = true;
      break;
    }
    block->size = carried + static_cast<std::size_t>(n);
    read_to_ += static_cast<std::uint64_t>(n);
    blocks_.push_back(block);
    spans_.clear();
    scanner_.scan(block->data.get() + carried, static_cast<std::size_t>(n), spans_);
    found(spans_);
    if (scanner_.open_span() != ItemScanner::kNoSpan && read_to_ - scanner_.open_span() > sizes_.largest) {
      scanner_.drop_open_span();  // too large to read ahead: its blocks can go
    }
  }
  drop_served_blocks();
}

void ReadAhead::drop_served_blocks() {
  // The last block stays: the next one may start with a copy of its end.
  while (blocks_.size() > 1 && blocks_.front()->end() <= served_) blocks_.pop_front();
}

ssize_t ReadAhead::serve(char* buffer, std::size_t capacity) {
  if (served_ == read_to_) read_blocks();
  if (served_ == read_to_) {
    // At the end, or at the failed read: the reader in turn reads on itself.
    if (ended_) return 0;
    const ssize_t n = file_(buffer, capacity);
    if (n > 0) read_to_ = served_ += static_cast<std::uint64_t>(n);
    return n;
  }
  for (const auto& block : blocks_) {
    if (block->end() <= served_) continue;
    const std::size_t from = static_cast<std::size_t>(served_ - block->offset);
    const std::size_t n = std::min(capacity, block->size - from);
    std::memcpy(buffer, block->data.get() + from, n);
    served_ += n;
    if (served_ == block->end()) drop_served_blocks();
    return static_cast<ssize_t>(n);
  }
  return 0;  // not reached: the blocks hold every byte up to read_to_
}

void ReadAhead::wait_for(ReadAheadBatch& batch) {
  // While another thread reads it, read a later batch that none has taken.
  batch.finish([this] {
    auto later = std::find_if(batches_.begin() + 1, batches_.end(), [](const auto& b) { return b->waiting(); });
    if (later == batches_.end()) return false;
    (*later)->run();
    return true;
  });
}

bool ReadAhead::take(std::uint64_t at, ItemReadAhead& out) {
  top_up(at);
  for (;;) {
    if (batches_.empty()) {
      // The reader is at the batch still forming (the end of an export, or
      // one smaller than a batch): it reads those items in turn, which is
      // cheaper than waking a thread for them.
      if (forming_ && forming_->begin() <= at) forming_.reset();
      return false;
    }
    ReadAheadBatch& batch = *batches_.front();
    while (next_ < batch.spans.size() && batch.spans[next_].begin < at) ++next_;
    if (next_ == batch.spans.size()) {
      // Passed over: what it read was no item of `data`, or a guess that proved wrong.
      if (!batch.cancel()) wait_for(batch);
      batches_.pop_front();
      next_ = 0;
      continue;
    }
    if (batch.spans[next_].begin != at) return false;
    wait_for(batch);
    const std::size_t i = next_++;
    ReadAheadBatch::Result& result = batch.results[i];
    if (!result.ok) return false;
    out.item = std::move(result.item);
    out.store = std::move(result.store);
    out.length = batch.spans[i].end - batch.spans[i].begin;
    return true;
  }
}

}  // namespace spansift
