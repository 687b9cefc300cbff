#include "raw/json/json_skip.h"

#include "raw/json/json_number.h"

namespace spansift {

using enum ReadErrorCode;

void skip_value(JsonInput& in, std::string& stack) {
  stack.clear();
  char enclosing = 0;  // the container whose value comes next, not yet on the stack
  for (;;) {
    int c = in.peek_token();
    char opened = 0;
    switch (c) {
      case -1: in.fail(EofValue, in.offset());
      case 'n':
        in.advance(1);
        in.expect_rest_of_literal("ull");
        break;
      case 't':
        in.advance(1);
        in.expect_rest_of_literal("rue");
        break;
      case 'f':
        in.advance(1);
        in.expect_rest_of_literal("alse");
        break;
      case '"': in.skip_string(); break;
      case '[':
      case '{':
        if (enclosing != 0) stack += enclosing;
        enclosing = 0;
        in.advance(1);
        opened = static_cast<char>(c);
        break;
      default:
        if (c != '-' && (c < '0' || c > '9')) in.fail(ExpectedValue, in.offset(1));
        skip_number(in);
    }

    // Where the value just read (or opened) stands: what may follow it.
    char frame;
    bool accept_comma = true;
    if (opened != 0) {
      frame = opened;
      accept_comma = false;
    } else if (enclosing != 0) {
      frame = enclosing;
      enclosing = 0;
    } else if (!stack.empty()) {
      frame = stack.back();
      stack.pop_back();
    } else {
      return;
    }
    for (;;) {
      c = in.peek_token();
      if (c == ',' && accept_comma) {
        in.advance(1);
        break;
      }
      if ((c == ']' && frame == '[') || (c == '}' && frame == '{')) {
        in.advance(1);
        if (stack.empty()) return;
        frame = stack.back();
        stack.pop_back();
        accept_comma = true;
        continue;
      }
      if (c < 0) in.fail(frame == '[' ? EofList : EofObject, in.offset());
      if (accept_comma) in.fail(frame == '[' ? ExpectedListCommaOrEnd : ExpectedObjectCommaOrEnd, in.offset(1));
      break;  // the first entry of a container just opened
    }
    if (frame == '{') {
      c = in.peek_token();
      if (c != '"') in.fail(c < 0 ? EofObject : KeyMustBeString, in.offset_through());
      in.skip_string();
      c = in.peek_token();
      if (c != ':') in.fail(c < 0 ? EofObject : ExpectedColon, in.offset_through());
      in.advance(1);
    }
    enclosing = frame;
  }
}

}  // namespace spansift
