#include "raw/json/json_skip.h"

#include "raw/json/json_grammar.h"
#include "raw/json/json_number.h"
#include "utils/simd/kernels.h"

namespace spansift {

using enum ReadErrorCode;

namespace {

template <class K>
void skip_value_with(JsonInput& input, std::string& stack) {
  Cursor<K> c(input);
  stack.clear();
  bool first = false;  // of the innermost container: no entry read yet
  for (;;) {
    // A value at the cursor.
    const int start = c.peek_token();
    switch (start) {
      case -1: c.fail(EofValue, c.offset());
      case '"': c.skip_string(); break;
      case '[':
      case '{':
        c.advance(1);
        stack += static_cast<char>(start);
        first = true;
        break;
      case 'n':
      case 't':
      case 'f': c.literal(literal_starting_with(start)); break;
      default: expect_number(c, start); skip_number(c);
    }
    // On to the next value, past the containers that close on the way.
    for (;;) {
      if (stack.empty()) return;
      const bool object = stack.back() == '{';
      const NextEntry next = next_entry<Rules::Skip>(c, first, object ? '}' : ']');
      if (next != NextEntry::kClosed) {
        if (object) {
          expect_key(c, next);
          c.skip_string();
          expect_colon(c);
        }
        break;
      }
      stack.pop_back();
      first = false;  // the container around it has this entry
    }
  }
}

}  // namespace

void skip_value(JsonInput& input, std::string& stack) {
  simd::with_block_kernel([&](auto kernel) { skip_value_with<decltype(kernel)>(input, stack); });
}

}  // namespace spansift
