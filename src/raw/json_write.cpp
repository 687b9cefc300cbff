#include "raw/json_write.h"

namespace spansift {
// Placeholder until the writer lands.
bool to_pretty_json(const JaegerTrace&, std::string& out, std::string&) { out = "{}"; return true; }
std::string to_pretty_json(const JaegerTrace&) { return "{}"; }
void append_double(std::string&, double) {}
}  // namespace spansift
