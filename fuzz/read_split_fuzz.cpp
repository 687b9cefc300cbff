// Items read ahead on 1 to 4 threads, with the spans found and cut into
// blocks and batches of sizes that the input drives, end exactly as reading
// in turn: the same items in the same order, then the same record or the
// same error at the same place. The stream form, and the memory form of an
// export with a mark (UTF-8 and UTF-16), whose text the reader lets go of
// when it returns.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_util.h"
#include "raw/decode.h"
#include "raw/json/read_ahead.h"
#include "raw/read_trace_file.h"
#include "raw/split_export.h"
#include "utils/workers.h"

namespace {

using spansift::ReadAheadSizes;

// Renders every item it is given, in order: whole if its trace ID starts
// with an even byte, else only that ID. When `selecting`, it wants only the
// items it renders whole, so that the others are read without being kept:
// the text must come out the same either way.
class Items final : public spansift::ItemSink {
 public:
  explicit Items(bool selecting) : selecting_(selecting) {}
  std::shared_ptr<spansift::ModelStore> new_store() override { return pool_->get(); }
  void receive(spansift::JaegerItem&& item, std::shared_ptr<spansift::ModelStore>&& store) override {
    const std::string_view id = store->text(item.traceID);
    if (shown_whole(id)) {
      text += spansift::fuzz::outcome(spansift::single_item_record(std::move(item), std::move(store)));
      text += '\n';
    } else {
      passed_over(id);
    }
  }
  bool wants(std::string_view id) const override { return !selecting_ || shown_whole(id); }
  void passed_over(std::string_view id) override {
    text += "only the ID: ";
    text += id;
    text += '\n';
  }
  std::string text;

 private:
  static bool shown_whole(std::string_view id) { return id.empty() || (static_cast<unsigned char>(id[0]) & 1) == 0; }
  const bool selecting_;
  std::shared_ptr<spansift::StorePool> pool_ = std::make_shared<spansift::StorePool>();
};

// The forms an export is read in.
enum class Form { kStream, kMarkedUtf8, kMarkedUtf16 };

std::string read(std::string_view text, spansift::Workers* workers, ReadAheadSizes sizes, Form form, bool selecting) {
  Items items(selecting);
  spansift::ReadInto into;
  into.items = &items;
  into.selects = &items;
  std::optional<spansift::ReadAhead> ahead;
  if (workers != nullptr) ahead.emplace(*workers, items, &items, sizes);
  spansift::ReadAhead* reads_ahead = ahead ? &*ahead : nullptr;
  std::string result;
  if (form == Form::kStream) {
    std::size_t at = 0;
    auto read_some = [&](char* buffer, std::size_t capacity, std::size_t& got) {
      got = std::min(capacity, text.size() - at);
      if (got != 0) std::memcpy(buffer, text.data() + at, got);
      at += got;
      return spansift::Status{};
    };
    result = spansift::fuzz::outcome(
        spansift::parse_trace_json(read_some, 1 + sizes.block % 64, std::move(into), reads_ahead));
  } else {
    // Read whole, as an export with a mark is: the reader's only share of
    // the bytes is the one it is given here.
    std::string marked(form == Form::kMarkedUtf8 ? "\xEF\xBB\xBF" : "\xFF\xFE");
    spansift::Encoding encoding = spansift::Encoding::Utf8;
    if (form == Form::kMarkedUtf8) {
      marked.append(text);
    } else {
      encoding = spansift::Encoding::Utf16Le;
      for (char c : text) marked += {c, '\0'};  // a code unit a byte: any input is valid UTF-16
    }
    auto bytes = std::make_shared<spansift::simd::PaddedString>(spansift::simd::PaddedString::adopt(std::move(marked)));
    bool replaced = false;
    result = spansift::fuzz::outcome(
        spansift::parse_marked(std::move(bytes), encoding, std::move(into), reads_ahead, replaced));
    if (replaced) result += " (replaced)";
  }
  return items.text + result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  // Pools made once: threads are dear next to a small input. The last does
  // each batch as late as it may, after the reader has returned.
  using spansift::Workers;
  static Workers pools[] = {Workers(1, Workers::Ahead::kAlways), Workers(2, Workers::Ahead::kAlways),
                            Workers(3, Workers::Ahead::kAlways), Workers(4, Workers::Ahead::kAlways),
                            Workers(2, Workers::Ahead::kLate)};
  std::uint64_t state = 0x9E3779B97F4A7C15ull ^ (size * 0x100000001B3ull) ^ (size != 0 ? data[size - 1] : 0);
  auto next = [&state](std::size_t range) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return 1 + static_cast<std::size_t>(state >> 11) % range;
  };
  for (Form form : {Form::kMarkedUtf8, Form::kMarkedUtf16, Form::kStream}) {
    const std::string in_turn = read(text, nullptr, {}, form, false);
    const std::string selected = read(text, nullptr, {}, form, true);
    if (selected != in_turn) spansift::fuzz::fail("items read without being kept differ", in_turn, selected);
    ReadAheadSizes sizes;
    sizes.block = next(256);
    sizes.batch = next(512);
    sizes.window = next(1024);
    sizes.largest = next(4096);
    // Mostly 0, so that items of any size are read ahead; else small
    // enough that tiny items stop reading ahead part way.
    sizes.smallest = next(4) == 1 ? next(64) : 0;
    const std::string split = read(text, &pools[next(5) - 1], sizes, form, next(2) == 1);
    if (split != in_turn) spansift::fuzz::fail("read ahead and in turn disagree", in_turn, split);
  }
  return 0;
}
