#include "raw/read_trace_file.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "raw/decode.h"
#include "raw/json/json_read.h"
#include "raw/json/read_ahead.h"
#include "utils/messages.h"
#include "utils/report.h"
#include "utils/text.h"

namespace spansift {

namespace {

constexpr std::size_t kProbeSize = 5;

// What the probe found: an encoding, or none.
struct ProbeOutcome {
  bool found = false;
  Encoding encoding = Encoding::Utf8;
};

ProbeOutcome probe_bom(System& system, const File& file, Output& output) {
  ProbeOutcome outcome;
  char probe[kProbeSize] = {};
  // One read only: a short read is looked at as it is, with zeros after it.
  std::size_t got = 0;
  if (Status read = system.read_at(file, 0, probe, kProbeSize, got); !read.ok()) {
    output.print(messages::probe_failed(read.display()));
  } else if (got <= 2) {
    output.print(messages::probe_short(static_cast<std::int64_t>(got)));
  }
  outcome.found = detect_bom(std::string_view(probe, kProbeSize), outcome.encoding);
  return outcome;
}

TraceFileError os_error(Status status) { return TraceFileError{status}; }

std::variant<JaegerTrace, TraceFileError> from_parse(ParseResult&& result) {
  if (auto* error = std::get_if<ReadError>(&result)) return TraceFileError{std::move(*error)};
  return std::get<JaegerTrace>(std::move(result));
}

std::variant<JaegerTrace, TraceFileError> read_marked(System& system, const File& file, const std::string& path,
                                                      Encoding encoding, ReadInto into, Output& output,
                                                      ReadAhead* ahead) {
  output.report(kRowEncoding, messages::encoding_found(quoted(path), encoding_name(encoding), file.size()));

  if (!std::in_range<std::size_t>(file.size()) || static_cast<std::size_t>(file.size()) > SIZE_MAX - simd::kPadding) {
    return TraceFileError{SizeError{}};
  }
  std::string read;
  read.reserve(static_cast<std::size_t>(file.size()) + simd::kPadding);  // so the padding needs no copy
  if (Status status = system.read_all(file, read); !status.ok()) return os_error(status);
  auto bytes = std::make_shared<simd::PaddedString>(simd::PaddedString::adopt(std::move(read)));
  bool replaced = false;
  ParseResult result = parse_marked(std::move(bytes), encoding, std::move(into), ahead, replaced);
  if (replaced) output.report(kRowMalformed, messages::malformed_text(quoted(path)));
  return from_parse(std::move(result));
}

std::variant<JaegerTrace, TraceFileError> read_unmarked(System& system, const File& file, const std::string& path,
                                                        ReadInto into, Output& output, ReadAhead* ahead) {
  output.report(kRowEncoding, messages::encoding_not_found(quoted(path), messages::kNoBom));
  output.print(messages::kParsingUnmarked);
  off_t offset = 0;  // from the start again, after the probe
  ReadSome read_some = [&system, &file, &offset](char* buffer, std::size_t size, std::size_t& got) {
    Status read = system.read_at(file, offset, buffer, size, got);
    if (read.ok()) offset += static_cast<off_t>(got);
    return read;
  };
  return from_parse(parse_trace_json(read_some, 8192, std::move(into), ahead));
}

}  // namespace

ParseResult parse_marked(std::shared_ptr<simd::PaddedString> bytes, Encoding encoding, ReadInto into, ReadAhead* ahead,
                         bool& replaced) {
  std::string_view rest = bytes->text();
  // Only the found encoding's own mark is dropped; another one stays as text.
  // (No mark is a prefix of another, so detecting one names it exactly.)
  Encoding leading;
  if (detect_bom(rest, leading) && leading == encoding) rest.remove_prefix(bom_length(encoding));

  std::shared_ptr<const simd::PaddedString> text = bytes;
  std::size_t from = bytes->size() - rest.size();
  replaced = false;
  if (encoding != Encoding::Utf8 || !is_valid_utf8(rest)) {
    std::string decoded;
    replaced = decode_to_utf8(encoding, rest, decoded) > 0;
    // The raw bytes are not needed while parsing.
    text = std::make_shared<const simd::PaddedString>(simd::PaddedString::adopt(std::move(decoded)));
    bytes.reset();
    from = 0;
  }
  // Items are read ahead only through a share of the text, so that it
  // outlives every thread reading it.
  if (ahead == nullptr) return parse_trace_json(text->view().substr(from), std::move(into));
  return parse_trace_json(std::move(text), from, std::move(into), *ahead);
}

std::string SizeError::display() const { return messages::kFileSizeTooLarge; }

std::string SizeError::detail() const { return messages::file_size_error(display()); }

std::string TraceFileError::display() const {
  return std::visit([](const auto& e) { return e.display(); }, error);
}

std::string TraceFileError::detail() const {
  return std::visit([](const auto& e) { return e.detail(); }, error);
}

std::variant<JaegerTrace, TraceFileError> read_trace_file(const std::string& path, ReadInto into, System& system,
                                                          Output& output, Workers* workers) {
  // One descriptor for the probe and the whole read, so that what is read
  // is the file that was checked.
  File file;
  if (Status opened = system.open_input(path, file); !opened.ok()) {
    output.report(kRowEncoding, messages::encoding_not_found(quoted(path), opened.display()));
    return os_error(opened);
  }
  ProbeOutcome outcome = probe_bom(system, file, output);
  std::optional<ReadAhead> ahead;
  if (workers != nullptr && into.items != nullptr && workers->may_read_ahead()) {
    ahead.emplace(*workers, *into.items, into.selects, ReadAheadSizes{});
  }
  ReadAhead* items_ahead = ahead ? &*ahead : nullptr;
  if (outcome.found) return read_marked(system, file, path, outcome.encoding, std::move(into), output, items_ahead);
  return read_unmarked(system, file, path, std::move(into), output, items_ahead);
}

}  // namespace spansift
