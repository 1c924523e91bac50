// The tool's vocabulary as data: the formats' conversions, the console's
// code page 866 text, and the schema of events and fields against what the
// README and the manual page tell the user.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "common/messages.h"
#include "common/text_format.h"
#include "console/oem_text.h"
#include "record/event_schema.h"
#include "record/outcome.h"

namespace travek {
namespace {

TEST(Formats, ConversionsAreReadAsTheyAreWritten) {
  const struct {
    const char* format;
    const char* kinds;
    bool fits;
  } cases[] = {
      {"plain %% text", "", true}, {"%3u%%", "u", true}, {"%#.2x", "u", true},
      {"%lu %s %d", "Usd", true},  {"%s", "", false},    {"", "s", false},
      {"%ld", "d", false},         {"%f", "u", false},   {"trailing %", "", false},
      {"%u %u", "u", false},       {"%s", "u", false},   {"%-5s %3u", "su", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_fits(c.format, c.kinds, std::char_traits<char>::length(c.kinds)), c.fits)
        << c.format << " with " << c.kinds;
  }
}

TEST(Outcomes, NamesAreUniqueAndOnlyOutcomesFromOutsideComeWithoutAMessage) {
  std::set<std::string> keys, without;
  for (const OutcomeRow& row : kOutcomes) {
    const std::string name = std::string(row.key) + ":" + row.variant;
    EXPECT_TRUE(keys.insert(name).second) << name;
    if (*row.message == '\0') without.insert(row.key);
  }
  EXPECT_EQ(without, (std::set<std::string>{"aborted", "log-write-error", "ok", "terminated"}));
}

std::string iconv_cp866(const std::string& utf8) {
  iconv_t cd = iconv_open("CP866", "UTF-8");
  std::string in = utf8, out(utf8.size(), '\0');
  char* src = in.data();
  char* dst = out.data();
  size_t src_left = in.size(), dst_left = out.size();
  iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

TEST(OemText, MessagesComeOutAsCodePage866AndBytesSurviveTheWayBack) {
  for (const char* text :
       {msg::kUsage, msg::kPortUnavailable, msg::kJumperReminder, msg::kFormatAddressOutside,
        msg::kNextBatch, event_row(event("station")).plain}) {
    EXPECT_EQ(utf8_to_oem(text, std::strlen(text)), iconv_cp866(text)) << text;
  }
  std::string every(255, '\0');
  for (int i = 1; i < 256; ++i) every[i - 1] = static_cast<char>(i);
  const std::string utf8 = oem_to_utf8(every.c_str());
  EXPECT_EQ(iconv_cp866(utf8), every) << "the table is code page 866";
  EXPECT_EQ(utf8_to_oem(utf8.data(), utf8.size()), every);
  // Not UTF-8 passes as it is; what code page 866 lacks is '?'.
  const std::string mixed = "\xF4\xAB-\xD0\x90\xE2\x82\xAC\xC3";
  EXPECT_EQ(utf8_to_oem(mixed.data(), mixed.size()), "\xF4\xAB-\x80?\xC3");
}

std::string file_text(const std::string& name) {
  std::ifstream in(std::string(TRAVEK_SOURCE_DIR) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string between(const std::string& text, const std::string& from, const std::string& to) {
  const size_t start = text.find(from);
  const size_t end = start == std::string::npos ? start : text.find(to, start + from.size());
  return end == std::string::npos ? "" : text.substr(start, end - start);
}

bool is_word_char(char c) { return (c >= 'a' && c <= 'z') || c == '_'; }

bool has_word(const std::string& text, const std::string& word) {
  for (size_t at = 0; (at = text.find(word, at)) != std::string::npos; ++at) {
    const size_t end = at + word.size();
    if ((at == 0 || !is_word_char(text[at - 1])) &&
        (end == text.size() || !is_word_char(text[end])))
      return true;
  }
  return false;
}

// The manual's text with its escaped hyphens plain.
std::string manual() {
  std::string man = file_text("man/travek32.1");
  for (size_t at; (at = man.find("\\-")) != std::string::npos;) man.erase(at, 1);
  return man;
}

// The single run's events, those before "end", with their fields.
TEST(Schema, ReadmeAndManualListEveryEventWithItsFieldsAndEveryRecordField) {
  const std::string readme = file_text("README.md");
  const std::string man = manual();
  const std::string readme_events = between(readme, "The events, in order:", "Fields may be");
  const std::string man_events = between(man, ".SH EVENTS AND THE RUN LOG", ".SH MANY STATIONS");
  for (const EventRow& row : kEvents) {
    if (std::string(row.name) == "end") break;
    const std::string in_readme = between(readme_events, "`" + std::string(row.name) + "`", "`");
    const std::string in_man = between(man_events, ".B " + std::string(row.name) + "\n", ".TP");
    EXPECT_FALSE(in_readme.empty()) << row.name << " in the README";
    EXPECT_FALSE(in_man.empty()) << row.name << " in the manual";
    for (const char* field : row.fields) {
      if (field == nullptr) continue;
      EXPECT_TRUE(has_word(in_readme, field)) << row.name << ": " << field << " in the README";
      EXPECT_TRUE(has_word(in_man, field)) << row.name << ": " << field << " in the manual";
    }
  }
  const std::string readme_record = between(readme, "Every record has every field", "`result` is");
  const std::string man_record = between(man, "A record has every field", ".PP");
  for (size_t i = 0; i < kRecordFields; ++i) {
    EXPECT_TRUE(has_word(readme_record, kFieldNames[i])) << kFieldNames[i] << " in the README";
    EXPECT_TRUE(has_word(man_record, kFieldNames[i])) << kFieldNames[i] << " in the manual";
  }
  // The run of many's own events, shown as JSON in both.
  for (const char* name : {"prompt", "summary"}) {
    const EventRow& row = kEvents[event_index(name)];
    const std::string key = "{\"event\":\"" + std::string(name) + "\"";
    for (const std::string& text : {readme, man}) {
      const std::string shown = between(text, key, "}");
      EXPECT_FALSE(shown.empty()) << name;
      for (const char* field : row.fields) {
        EXPECT_TRUE(field == nullptr || has_word(shown, field)) << name << ": " << field;
      }
    }
  }
}

TEST(Schema, ManualListsEveryResultKey) {
  const std::string man = manual();
  for (const OutcomeRow& row : kOutcomes) {
    if (std::string(row.key) == "ok") continue;
    EXPECT_NE(man.find(".B " + std::string(row.key) + "\n"), std::string::npos) << row.key;
  }
}

}  // namespace
}  // namespace travek
