#include "generate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace spansift::bench {

namespace {

class Generator {
 public:
  explicit Generator(const ExportShape& shape) : random_(shape.seed), pretty_(shape.pretty), traces_(shape.traces) {}

  std::string run(const ExportShape& shape, std::size_t* traces) {
    std::size_t count = 0;
    auto more = [&] {
      if (shape.trace_count != 0) return count < shape.trace_count;
      if (traces_ == Traces::Tiny) return count == 0;
      return out_.size() < shape.target_bytes || count == 0;
    };
    open('{');
    key("data");
    open('[');
    while (more()) {
      element();
      switch (traces_) {
        case Traces::Realistic: trace(); break;
        case Traces::Tiny: tiny_trace(); break;
        case Traces::Floats: float_trace(); break;
        case Traces::Bare: bare_trace(shape.first_trace + count); break;
        case Traces::Sized: sized_trace(shape.trace_bytes); break;
      }
      ++count;
    }
    close(']');
    member_int("total", 0);
    member_int("limit", 0);
    member_int("offset", 0);
    key("errors");
    out_ += "null";
    close('}');
    if (traces) *traces = count;
    return std::move(out_);
  }

 private:
  std::uint64_t next(std::uint64_t n) { return random_() % n; }

  // Uniform in [0, 1), from the top 53 bits of one draw.
  double unit() { return static_cast<double>(random_() >> 11) * 0x1p-53; }

  // Spans per trace, 5 to 200 and skewed small as in real traffic: 5 times
  // 40 to the power u^3.5 for a uniform u, so the median trace has 7 spans,
  // one in ten 64 or more, one in twenty more than 100, and the mean is
  // about 22. A compact trace is then about 24 KB on average, and 100 MB of
  // exports hold about 4300 traces.
  int span_count() { return std::min(200, static_cast<int>(5.0 * std::pow(40.0, std::pow(unit(), 3.5)))); }

  // Tags per span, 5 to 30, skewed small: 5 + 26 u^4 (median 6, mean about 10).
  int tag_count() {
    double u = unit();
    return 5 + static_cast<int>(26.0 * u * u * u * u);
  }

  std::string hex(int digits) {
    static const char* k = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < digits; ++i) s += k[next(16)];
    return s;
  }

  void trace() {
    std::string trace_id = hex(32);
    int spans = span_count();
    int processes = 1 + static_cast<int>(next(4));
    open('{');
    member_string("traceID", trace_id);
    key("spans");
    open('[');
    std::vector<std::string> ids;
    for (int i = 0; i < spans; ++i) {
      ids.push_back(hex(16));
      element();
      span(trace_id, ids, processes);
    }
    close(']');
    end_trace(processes);
  }

  // The IDs of bare traces are their numbers scattered over five characters
  // of [0-9a-z] by a bijection (a multiplier prime to 36^5), so that the
  // output files are not created in the order of their names.
  void bare_trace(std::uint64_t number) {
    static const char* k = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::uint64_t scattered = (number * 40000003 + 12345) % bare_trace_limit;
    std::string id(5, '0');
    for (int i = 4; i >= 0; --i, scattered /= 36) id[static_cast<std::size_t>(i)] = k[scattered % 36];
    open('{');
    member_string("traceID", id);
    key("spans");
    out_ += "[]";
    key("processes");
    out_ += "{}";
    close('}');
  }

  // Spans are added while one more of the smallest kind still fits; near
  // the end, and in traces of a few KB, a span's tags are cut to what is
  // left, so that a 1 KB trace is one span of a few tags rather than one of
  // 30, and the mean size stays within a few percent of `bytes`.
  void sized_trace(std::size_t bytes) {
    std::size_t start = out_.size();
    std::string trace_id = hex(32);
    // A large trace crosses more services: one more process per 500 KB.
    int processes = bytes < 10000 ? 1 : std::min<int>(64, 1 + static_cast<int>(next(4) + bytes / 500000));
    // What the processes will add after the spans: about 320 bytes each.
    std::size_t tail = 40 + 320 * static_cast<std::size_t>(processes);
    open('{');
    member_string("traceID", trace_id);
    key("spans");
    open('[');
    std::vector<std::string> ids;
    std::size_t used = out_.size() - start + tail;
    do {
      // A span is about 350 bytes without tags and logs, 30 more per tag,
      // and 100 for its logs on average.
      int room = used + 450 < bytes ? static_cast<int>((bytes - used - 450) / 30) : 0;
      ids.push_back(hex(16));
      element();
      span(trace_id, ids, processes, std::max(1, room));
      used = out_.size() - start + tail;
    } while (used + 350 < bytes);
    close(']');
    end_trace(processes);
  }

  void tiny_trace() {
    open('{');
    member_string("traceID", hex(32));
    key("spans");
    out_ += "[]";
    key("processes");
    out_ += "{}";
    close('}');
  }

  // Ten spans of a trace whose tags are routes: 40 to 160 coordinate pairs.
  void float_trace() {
    std::string trace_id = hex(32);
    open('{');
    member_string("traceID", trace_id);
    key("spans");
    open('[');
    for (int i = 0; i < 10; ++i) {
      element();
      open('{');
      member_string("traceID", trace_id);
      member_string("spanID", hex(16));
      member_int("flags", 1);
      member_string("operationName", operations[next(8)]);
      key("references");
      out_ += "[]";
      member_int("startTime", 1700000000000000 + static_cast<std::int64_t>(next(1000000000)));
      member_int("duration", static_cast<std::int64_t>(next(5000000)));
      key("tags");
      open('[');
      element();
      open('{');
      member_string("key", "geo.route");
      member_string("type", "string");
      key("value");
      open('[');
      for (int n = 40 + static_cast<int>(next(121)); n > 0; --n) {
        element();
        open('[');
        element();
        number(-180.0 + 360.0 * unit());
        element();
        number(-90.0 + 180.0 * unit());
        close(']');
      }
      close(']');
      close('}');
      close(']');
      key("logs");
      out_ += "[]";
      member_string("processID", "p1");
      close('}');
    }
    close(']');
    key("processes");
    open('{');
    key("p1");
    open('{');
    member_string("serviceName", services[next(6)]);
    key("tags");
    out_ += "[]";
    close('}');
    close('}');
    close('}');
  }

  // The spans' list closed: the trace's processes, its warnings, its end.
  void end_trace(int processes) {
    key("processes");
    open('{');
    for (int p = 1; p <= processes; ++p) {
      key("p" + std::to_string(p));
      open('{');
      member_string("serviceName", services[next(6)]);
      key("tags");
      tags(3 + static_cast<int>(next(4)));
      close('}');
    }
    close('}');
    key("warnings");
    out_ += "null";
    close('}');
  }

  void span(const std::string& trace_id, const std::vector<std::string>& ids, int processes, int max_tags = 30) {
    open('{');
    member_string("traceID", trace_id);
    member_string("spanID", ids.back());
    member_int("flags", 1);
    member_string("operationName", operations[next(8)]);
    key("references");
    open('[');
    if (ids.size() > 1) {
      element();
      open('{');
      member_string("refType", "CHILD_OF");
      member_string("traceID", trace_id);
      member_string("spanID", ids[next(ids.size() - 1)]);
      close('}');
    }
    close(']');
    member_int("startTime", 1700000000000000 + static_cast<std::int64_t>(next(1000000000)));
    member_int("duration", static_cast<std::int64_t>(next(5000000)));
    key("tags");
    tags(std::min(max_tags, tag_count()));
    key("logs");
    open('[');
    for (int l = static_cast<int>(next(3)); l > 0; --l) {
      element();
      open('{');
      member_int("timestamp", 1700000000000000 + static_cast<std::int64_t>(next(1000000000)));
      key("fields");
      tags(1 + static_cast<int>(next(3)));
      close('}');
    }
    close(']');
    member_string("processID", "p" + std::to_string(1 + next(processes)));
    key("warnings");
    out_ += "null";
    close('}');
  }

  void tags(int n) {
    open('[');
    for (int i = 0; i < n; ++i) {
      element();
      open('{');
      member_string("key", tag_keys[next(12)]);
      switch (next(10)) {
        case 0:
        case 1:
        case 2:
        case 3:
          member_string("type", "string");
          key("value");
          string(next(20) == 0 ? "caf\xc3\xa9 \"quoted\" \\ path/\t\xe2\x9c\x93" : string_values[next(8)]);
          break;
        case 4:
        case 5:
          member_string("type", "int64");
          member_int("value", static_cast<std::int64_t>(next(100000)) - 50);
          break;
        case 6:
          member_string("type", "float64");
          key("value");
          number(static_cast<double>(next(1000000)) / 1000.0);
          break;
        case 7:
        case 8:
          member_string("type", "bool");
          key("value");
          out_ += next(2) ? "true" : "false";
          break;
        default:
          member_string("type", "object");
          key("value");
          open('{');
          member_string("z", hex(8));
          member_int("a", static_cast<std::int64_t>(next(100)));
          key("nested");
          open('[');
          element();
          out_ += "null";
          element();
          number(0.25);
          close(']');
          close('}');
      }
      close('}');
    }
    close(']');
  }

  void open(char c) {
    out_ += c;
    first_.push_back(true);
  }
  void close(char c) {
    bool empty = first_.back();
    first_.pop_back();
    if (pretty_ && !empty) newline();
    out_ += c;
  }
  void element() {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
    if (pretty_) newline();
  }
  void newline() {
    out_ += '\n';
    out_.append(2 * first_.size(), ' ');
  }
  void key(const std::string& k) {
    element();
    string(k);
    out_ += pretty_ ? ": " : ":";
  }
  void string(const std::string& s) {
    out_ += '"';
    for (char c : s) {
      if (c == '"' || c == '\\') out_ += '\\';
      if (c == '\t') {
        out_ += "\\t";
        continue;
      }
      out_ += c;
    }
    out_ += '"';
  }
  void number(double d) {
    char buffer[32];
    int n = std::snprintf(buffer, sizeof buffer, "%.17g", d);
    out_.append(buffer, static_cast<std::size_t>(n));
  }
  void member_string(const std::string& k, const std::string& v) {
    key(k);
    string(v);
  }
  void member_int(const std::string& k, std::int64_t v) {
    key(k);
    out_ += std::to_string(v);
  }

  static constexpr const char* services[] = {"frontend", "checkout", "payments", "inventory", "mysql", "redis"};
  static constexpr const char* operations[] = {"HTTP GET /cart", "HTTP POST /checkout", "SELECT orders", "GET",
                                               "charge",         "reserve-stock",       "publish",       "render"};
  static constexpr const char* tag_keys[] = {"span.kind",    "http.method",   "http.url",          "http.status_code",
                                             "component",    "db.statement",  "peer.service",      "error",
                                             "sampler.type", "sampler.param", "otel.library.name", "net.peer.port"};
  static constexpr const char* string_values[] = {
      "client", "server", "GET",     "https://shop.example/api/v1/cart?id=42", "SELECT * FROM orders WHERE id = ?",
      "grpc",   "const",  "internal"};

  std::mt19937_64 random_;
  bool pretty_;
  Traces traces_;
  std::string out_;
  std::vector<bool> first_;
};

}  // namespace

std::string generate_export(const ExportShape& shape, std::size_t* traces) {
  return Generator(shape).run(shape, traces);
}

}  // namespace spansift::bench
