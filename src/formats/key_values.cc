#include "formats/key_values.h"

#include <cstring>

namespace travek {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<KeyValue> key_values(const uint8_t* text, size_t size) {
  std::vector<KeyValue> found;
  const std::string_view all(reinterpret_cast<const char*>(text), size);
  size_t at = all.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  for (uint32_t line = 1; at < size; ++line) {
    const size_t lf = all.find('\n', at);
    std::string_view content = all.substr(at, lf == std::string_view::npos ? size - at : lf - at);
    at = lf == std::string_view::npos ? size : lf + 1;
    if (lf != std::string_view::npos && !content.empty() && content.back() == '\r') {
      content.remove_suffix(1);
    }
    content = trim(content.substr(0, content.find('#')));
    if (content.empty()) continue;
    const size_t eq = content.find('=');
    KeyValue kv{trim(content.substr(0, eq)), {}, eq != std::string_view::npos, line, 0};
    if (kv.has_value) {
      kv.value = trim(content.substr(eq + 1));
      kv.value_at = static_cast<size_t>(kv.value.data() - all.data());
    }
    found.push_back(kv);
  }
  return found;
}

}  // namespace travek
