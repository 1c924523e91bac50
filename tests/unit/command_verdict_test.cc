#include "numbers/command_verdict.h"

#include <gtest/gtest.h>

#include <string>

namespace travek {
namespace {

struct VerdictCase {
  const char* name;
  CommandRun run;
  bool gives;
  uint64_t number;
  std::string what;
};

CommandRun exited(unsigned long status, std::string output, std::string errors = "") {
  return {CommandEnding::kExited, status, "", 10000, std::move(output), std::move(errors)};
}

TEST(CommandVerdict, ANumberOrWhatTheCommandDid) {
  const std::string long_line(100, 'x');
  const VerdictCase cases[] = {
      {"a number and its line end", exited(0, "100001\n"), true, 100001, ""},
      {"blanks and CRLF around it", exited(0, " \t42 \r\n"), true, 42, ""},
      {"no line end", exited(0, "42"), true, 42, ""},
      {"the first line counts", exited(0, "42\n43\nfoo\n"), true, 42, ""},
      {"leading zeros are decimal", exited(0, "007\n"), true, 7, ""},
      {"the largest number", exited(0, "18446744073709551615\n"), true, UINT64_MAX, ""},
      {"error output beside a number does not matter", exited(0, "5\n", "notice\n"), true, 5, ""},
      {"nothing", exited(0, ""), false, 0, "printed nothing"},
      {"words", exited(0, "hello\n"), false, 0, "printed \"hello\", not a number"},
      {"an empty first line", exited(0, "\n42\n"), false, 0, "printed \"\", not a number"},
      {"a sign", exited(0, "-5\n"), false, 0, "printed \"-5\", not a number"},
      {"two numbers", exited(0, "5 6\n"), false, 0, "printed \"5 6\", not a number"},
      {"2^64", exited(0, "18446744073709551616\n"), false, 0,
       "printed \"18446744073709551616\", not a number"},
      {"a long line cut short", exited(0, long_line), false, 0,
       "printed \"" + std::string(60, 'x') + "...\", not a number"},
      {"bytes that are not printable ASCII", exited(0, "n\xC3\xBCmber\x1B\n"), false, 0,
       "printed \"n??mber?\", not a number"},
      {"a failed command's number is not taken", exited(1, "42\n"), false, 0,
       "exited with status 1"},
      {"its error output's first line that is not blank",
       exited(1, "", "\n  Error: in prepare, no such table: seq  \nmore\n"), false, 0,
       "exited with status 1; error output \"Error: in prepare, no such table: seq\""},
      {"127: not found", exited(127, "", "sh: 1: sqlite4: not found\n"), false, 0,
       "exited with status 127; error output \"sh: 1: sqlite4: not found\""},
      {"an exception code", exited(0xC0000005, ""), false, 0, "exited with status 0xC0000005"},
      {"a signal",
       {CommandEnding::kSignal, 9, "Killed", 10000, "42\n", ""},
       false,
       0,
       "was ended by signal 9 (Killed)"},
      {"the time limit in seconds",
       {CommandEnding::kTimedOut, 0, "", 10000, "", "waiting\n"},
       false,
       0,
       "did not end within 10 s; error output \"waiting\""},
      {"the time limit in milliseconds",
       {CommandEnding::kTimedOut, 0, "", 1500, "42\n", ""},
       false,
       0,
       "did not end within 1500 ms"},
  };
  for (const VerdictCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t number = 0;
    char what[256] = "(untouched)";
    EXPECT_EQ(judge_command(c.run, &number, what, sizeof(what)), c.gives);
    if (c.gives) {
      EXPECT_EQ(number, c.number);
      EXPECT_STREQ(what, "(untouched)");
    } else {
      EXPECT_EQ(std::string(what), c.what);
    }
  }
}

TEST(CommandVerdict, TheDescriptionIsCutToItsBuffer) {
  char what[16];
  uint64_t number = 0;
  EXPECT_FALSE(judge_command(exited(0, "garbage garbage garbage\n"), &number, what, sizeof(what)));
  EXPECT_EQ(std::string(what), "printed \"garbag");
}

}  // namespace
}  // namespace travek
