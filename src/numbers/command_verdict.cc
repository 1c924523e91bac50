#include "numbers/command_verdict.h"

#include <cstdio>

#include "numbers/numbers_file.h"

namespace travek {
namespace {

// What of a printed line is quoted.
constexpr size_t kQuoted = 60;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The first line (first_only), or the first that is not blank; blanks
// around it taken off.
std::string line_of(const std::string& text, bool first_only) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t b = at, e = end;
    while (b < e && is_blank(text[b])) ++b;
    while (e > b && is_blank(text[e - 1])) --e;
    if (first_only || e > b) return text.substr(b, e - b);
    at = end + 1;
  }
  return "";
}

// Printable ASCII in double quotes, cut short with "..." when long.
std::string quoted(const std::string& line) {
  std::string q = "\"";
  for (size_t i = 0; i < line.size() && i < kQuoted; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    q += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  if (line.size() > kQuoted) q += "...";
  return q + "\"";
}

}  // namespace

bool judge_command(const CommandRun& run, uint64_t* number, char* what, size_t what_size) {
  char did[160];
  const std::string first = line_of(run.output, true);
  if (run.ending == CommandEnding::kTimedOut) {
    const bool seconds = run.limit_ms % 1000 == 0;
    std::snprintf(did, sizeof(did),
                  seconds ? "did not end within %d s" : "did not end within %d ms",
                  seconds ? run.limit_ms / 1000 : run.limit_ms);
  } else if (run.ending == CommandEnding::kSignal) {
    std::snprintf(did, sizeof(did), "was ended by signal %lu (%s)", run.code, run.signal_name);
  } else if (run.code != 0) {
    // Windows ends a crashed process with its exception code.
    std::snprintf(did, sizeof(did),
                  run.code > 0xFFFF ? "exited with status 0x%08lX" : "exited with status %lu",
                  run.code);
  } else if (parse_decimal(first.data(), first.size(), number)) {
    return true;
  } else if (run.output.empty()) {
    std::snprintf(did, sizeof(did), "printed nothing");
  } else {
    std::snprintf(did, sizeof(did), "printed %s, not a number", quoted(first).c_str());
  }
  const std::string error_line = line_of(run.errors, false);
  const std::string and_said = error_line.empty() ? "" : "; error output " + quoted(error_line);
  std::snprintf(what, what_size, "%s%s", did, and_said.c_str());
  return false;
}

}  // namespace travek
