#include "raw/json/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "raw/json/json_builder.h"

namespace spansift {

struct ReadAhead::Block {
  // Padded, as every buffer that is read in blocks.
  explicit Block(std::uint64_t at, std::size_t capacity)
      : offset(at), data(std::make_unique_for_overwrite<char[]>(capacity + simd::kPadding)) {
    std::memset(data.get() + capacity, 0, simd::kPadding);
  }
  std::uint64_t offset;  // input offset of its first byte
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::uint64_t end() const { return offset + size; }
};

// Consecutive spans, read by a worker into one store; or by none, when the
// reader gets there first and reads them in turn.
struct ReadAheadBatch final : OnceTask {
  ReadAheadBatch(ItemSink& sink, const ItemSink* selecting) : items(sink), selects(selecting) {}

  std::uint64_t begin() const { return spans.front().begin; }
  std::uint64_t end() const { return spans.back().end; }
  std::uint64_t bytes() const { return end() - begin(); }

  void work() noexcept override {
    std::string joined;  // a span that lies across blocks, copied whole once
    try {
      results.resize(spans.size());
      store = items.new_store();
      ItemReader reader(store, selects);
      for (std::size_t i = 0; i < spans.size(); ++i) results[i] = reader.read(bytes_of(spans[i], joined));
    } catch (...) {
      // No memory, say: the reader in turn reads what is left itself, and
      // meets whatever this was, if it is the input's.
    }
    blocks.clear();
    text_owner.reset();
  }

  // The spans stay: the reader reads them in turn.
  void let_go() noexcept override {
    blocks.clear();
    text_owner.reset();
    text = {};
  }

  simd::PaddedView bytes_of(ItemSpan span, std::string& joined) const {
    const auto length = static_cast<std::size_t>(span.end - span.begin);
    if (blocks.empty()) return text.substr(span.begin, length);
    auto block = std::find_if(blocks.begin(), blocks.end(), [&](const auto& b) { return b->end() > span.begin; });
    const auto from = static_cast<std::size_t>(span.begin - (*block)->offset);
    if ((*block)->end() >= span.end) {
      return simd::PaddedView::of_buffer({(*block)->data.get() + from, length});
    }
    joined.clear();
    for (std::size_t at = from; joined.size() < length; ++block, at = 0) {
      joined.append((*block)->data.get() + at, std::min((*block)->size - at, length - joined.size()));
    }
    joined.append(simd::kPadding, '\0');
    return simd::PaddedView::of_buffer(std::string_view(joined).substr(0, length));
  }

  ItemSink& items;
  const ItemSink* selects;
  std::vector<ItemSpan> spans;
  // Where the spans' bytes are: the text of the memory form, held here too;
  // or the blocks they lie in, in order.
  std::shared_ptr<const simd::PaddedString> text_owner;
  simd::PaddedView text;
  std::vector<std::shared_ptr<const ReadAhead::Block>> blocks;
  std::shared_ptr<ModelStore> store;  // every item's
  std::vector<ItemRead> results;
};

ReadAhead::ReadAhead(Workers& workers, ItemSink& items, const ItemSink* selects, ReadAheadSizes sizes)
    : items_(items),
      selects_(selects),
      sizes_(sizes),
      window_((workers.threads() + std::uint64_t{1}) * sizes.window),
      batches_(workers) {}

ReadAhead::~ReadAhead() = default;

simd::PaddedView ReadAhead::over_text(std::shared_ptr<const simd::PaddedString> owner, std::size_t from) {
  text_ = owner->view().substr(from);
  text_owner_ = std::move(owner);
  return text_;
}

ReadSome ReadAhead::over_stream(ReadSome file) {
  file_ = std::move(file);
  return [this](char* buffer, std::size_t capacity, std::size_t& got) { return serve(buffer, capacity, got); };
}

void ReadAhead::found(const std::vector<ItemSpan>& spans) {
  for (const ItemSpan& span : spans) {
    const std::uint64_t length = span.end - span.begin;
    // Too large, or reached by the reader already: read in turn.
    if (length > sizes_.largest || span.begin <= reader_at_) continue;
    // Far enough ahead that the next items as large are found in time.
    window_ = std::max(window_, (batches_.workers().threads() + std::uint64_t{1}) * length);
    if (!forming_) {
      forming_ = std::make_shared<ReadAheadBatch>(items_, selects_);
      forming_->text_owner = text_owner_;
      forming_->text = text_;
    }
    forming_->spans.push_back(span);
    if (file_) {
      // The blocks it lies in, held by the batch.
      auto first = std::find_if(blocks_.begin(), blocks_.end(), [&](const auto& b) { return b->end() > span.begin; });
      for (auto block = first; block != blocks_.end() && (*block)->offset < span.end; ++block) {
        if (forming_->blocks.empty() || forming_->blocks.back()->offset < (*block)->offset) {
          forming_->blocks.push_back(*block);
        }
      }
    }
    if (forming_->bytes() >= sizes_.batch) post_forming();
  }
}

void ReadAhead::post_forming() {
  std::shared_ptr<ReadAheadBatch> batch = std::move(forming_);
  if (batch->bytes() < sizes_.smallest * batch->spans.size()) {
    // Items too small to pay for the handing: an export's items are mostly
    // alike, so the rest of it is read in turn, without a scan or a copy.
    stopped_ = true;
    return;
  }
  // Where no worker would take it soon, the reader reads its items in turn.
  if (batches_.workers().may_read_ahead()) batches_.push(std::move(batch));
}

bool ReadAhead::scan_further(std::uint64_t scanned_to) {
  if (scanned_to < reader_at_ + window_) return true;
  // Past the window, an item that began in it and that the reader has not
  // reached yet is followed to its end (as far as the largest read ahead):
  // so is an item larger than the window found, and the window grows to fit
  // the next ones.
  const std::uint64_t open = scanner_.open_span();
  if (open == ItemScanner::kNoSpan) return false;
  if (open > reader_at_ && open < reader_at_ + window_ && scanned_to - open <= sizes_.largest) return true;
  scanner_.drop_open_span();  // read in turn: its bytes are not kept for it
  return false;
}

void ReadAhead::top_up(std::uint64_t at) {
  reader_at_ = at;
  if (stopped_) return;
  if (file_) {
    read_blocks();
    return;
  }
  // Memory form: the scan stays a window ahead of the reader.
  const std::uint64_t size = text_.size();
  while (scanner_.offset() < size && scan_further(scanner_.offset())) {
    const std::uint64_t from = scanner_.offset();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizes_.block, size - from));
    spans_.clear();
    scanner_.scan(text_.data() + from, n, spans_);
    found(spans_);
  }
}

void ReadAhead::read_blocks() {
  // The reader in turn always gets its next bytes, wherever the scan is.
  while (!stopped_ && !ended_ && failed_.ok() && (read_to_ == served_ || scan_further(read_to_))) {
    auto block = std::make_shared<Block>(read_to_, sizes_.block);
    std::size_t got = 0;
    if (Status read = file_(block->data.get(), sizes_.block, got); !read.ok()) {
      failed_ = read;  // the reader's, when it gets here
      break;
    }
    if (got == 0) {
      ended_ = true;
      break;
    }
    block->size = got;
    read_to_ += block->size;
    blocks_.push_back(block);
    spans_.clear();
    scanner_.scan(block->data.get(), block->size, spans_);
    found(spans_);
  }
  drop_unneeded_blocks();
}

void ReadAhead::drop_unneeded_blocks() {
  const std::uint64_t needed = std::min(served_, scanner_.open_span());
  while (!blocks_.empty() && blocks_.front()->end() <= needed) blocks_.pop_front();
}

Status ReadAhead::serve(char* buffer, std::size_t capacity, std::size_t& got) {
  got = 0;
  if (served_ == read_to_) read_blocks();
  if (served_ == read_to_) {
    if (!failed_.ok()) return failed_;
    if (ended_ || !stopped_) return {};  // the end
    // Reading ahead has stopped: the reader reads on through the file itself.
    Status read = file_(buffer, capacity, got);
    if (read.ok()) read_to_ = served_ += got;
    return read;
  }
  auto block = std::find_if(blocks_.begin(), blocks_.end(), [this](const auto& b) { return b->end() > served_; });
  const std::size_t from = static_cast<std::size_t>(served_ - (*block)->offset);
  const std::size_t n = std::min(capacity, (*block)->size - from);
  std::memcpy(buffer, (*block)->data.get() + from, n);
  served_ += n;
  if (served_ == (*block)->end()) drop_unneeded_blocks();
  got = n;
  return {};
}

bool ReadAhead::claim(std::uint64_t at, ClaimedItem& out) {
  top_up(at);
  for (;;) {
    if (current_) {
      const std::vector<ItemSpan>& spans = current_->spans;
      while (next_ < spans.size() && spans[next_].begin < at) ++next_;
      if (next_ < spans.size()) {
        if (spans[next_].begin != at) return false;
        const std::size_t i = next_++;
        // A batch no worker began (or that ran out of memory) has no results:
        // its items are read in turn.
        const std::vector<ItemRead>& results = current_->results;
        if (!current_done_ || i >= results.size() || !results[i].ok) return false;
        ItemRead& result = current_->results[i];
        out.item = std::move(result.item);
        out.kept = result.kept;
        out.store = current_->store;
        out.length = spans[i].end - spans[i].begin;
        return true;
      }
      current_.reset();  // passed: what it read was no item of `data`, or a guess that proved wrong
    }
    if (batches_.empty() || batches_.front().begin() > at) {
      // At the batch still forming (the end of an export, or one smaller than
      // a batch), the reader reads its items in turn, which is cheaper than
      // waking a thread for them.
      if (batches_.empty() && forming_ && forming_->begin() <= at) forming_.reset();
      return false;
    }
    current_done_ = batches_.pop_front(current_);
    next_ = 0;
  }
}

}  // namespace spansift
