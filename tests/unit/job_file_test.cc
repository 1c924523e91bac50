// The job file: every key read as its switch would be, the hash taken as
// tools write it, and each fault on its own line with the numbers file's
// reasons.
#include <gtest/gtest.h>

#include <string>

#include "job/job_file.h"

namespace travek {
namespace {

const std::string kHash = "3f5a1c09e2b7d4f6a8c0e1f2a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6";

JobVerdict parse(const std::string& text, JobFile* job) {
  return parse_job_file(reinterpret_cast<const uint8_t*>(text.data()), text.size(), job);
}

std::string required(const std::string& more = "") {
  return "name = line3\nimage = fw.bin\nsha256 = " + kHash + "\nports = /dev/ttyUSB0\n" + more +
         "mode = single\n";
}

TEST(JobFile, EveryKeyAsItsSwitchReadsIt) {
  JobFile job;
  const std::string text =
      "\xEF\xBB\xBF# line 3\r\n"
      "name     = line3-ctrl-revB   # the job\r\n"
      "image    = fw\\firmware-2.4.1.bin\r\n"
      "sha256   = 3F5A 1C09 E2B7 D4F6 A8C0 E1F2 A3B4 C5D6 E7F8 091A 2B3C 4D5E 6F70 8192 A3B4 "
      "C5D6\r\n"
      "format   = BIN\n"
      "offset   = 0x200\n"
      "address  = 983040\n"
      "ports    = /dev/ttyUSB0, /dev/ttyUSB1 ,rfc2217://10.1.3.7:4001\n"
      "numbers  = ../line3.numbers\n"
      "log      = line3.jsonl\n"
      "mode     = auto\n"
      "restart  = yes\n";
  const JobVerdict verdict = parse(text, &job);
  ASSERT_EQ(verdict.fault, JobFault::kNone) << verdict.line;
  EXPECT_EQ(job.name, "line3-ctrl-revB");
  EXPECT_EQ(job.image, "fw\\firmware-2.4.1.bin");
  EXPECT_EQ(job.sha256, kHash) << "spaces dropped, lower case";
  EXPECT_TRUE(job.format_given);
  EXPECT_EQ(job.format, ImageFormat::kBinary);
  EXPECT_EQ(job.offset, 0x200u);
  EXPECT_EQ(job.address, 0xF0000u);
  EXPECT_EQ(job.ports,
            (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1", "rfc2217://10.1.3.7:4001"}));
  EXPECT_EQ(job.numbers, "../line3.numbers");
  EXPECT_EQ(job.log, "line3.jsonl");
  EXPECT_EQ(job.mode, JobMode::kAuto);
  EXPECT_TRUE(job.restart_at_once);

  ASSERT_EQ(parse(required(), &job).fault, JobFault::kNone);
  EXPECT_FALSE(job.format_given);
  EXPECT_FALSE(job.restart_at_once) << "the prompt, by default";
  EXPECT_EQ(job.mode, JobMode::kSingle);
}

TEST(JobFile, EachFaultOnItsLine) {
  const struct {
    const char* name;
    std::string text;
    JobFault fault;
    uint32_t line;
    const char* key;
  } cases[] = {
      {"unknown key", required("colour = red\n"), JobFault::kUnknownKey, 5, nullptr},
      {"a key twice", required("name = again\n"), JobFault::kKeyTwice, 5, nullptr},
      {"no equals", required("log\n"), JobFault::kBadValue, 5, nullptr},
      {"empty value", required("log =\n"), JobFault::kBadValue, 5, nullptr},
      {"a hash too short", "sha256 = " + kHash.substr(1) + "\n", JobFault::kBadValue, 1, nullptr},
      {"a hash not hex", "sha256 = " + kHash.substr(1) + "g\n", JobFault::kBadValue, 1, nullptr},
      {"an unknown format", required("format = elf\n"), JobFault::kBadValue, 5, nullptr},
      {"offset zero", required("offset = 0\n"), JobFault::kBadValue, 5, nullptr},
      {"address past 32 bits", required("address = 0x100000000\n"), JobFault::kBadValue, 5,
       nullptr},
      {"address with text after it", required("address = 12ab\n"), JobFault::kBadValue, 5, nullptr},
      {"an unknown mode", "mode = nightly\n", JobFault::kBadValue, 1, nullptr},
      {"an unknown restart", required("restart = later\n"), JobFault::kBadValue, 5, nullptr},
      {"a port twice", "ports = A, B, A\n", JobFault::kBadValue, 1, nullptr},
      {"an empty port", "ports = A,,B\n", JobFault::kBadValue, 1, nullptr},
      {"two ports for a single run",
       "name=n\nimage=i\nsha256=" + kHash + "\nports=A,B\nmode=single\n", JobFault::kBadValue, 4,
       nullptr},
      {"an offset for a HEX file", required("format = hex\noffset = 0x10\n"), JobFault::kBadValue,
       6, nullptr},
      {"no sha256", "name=n\nimage=i\nports=A\nmode=auto\n", JobFault::kMissingKey, 0, "sha256"},
      {"no name", "image=i\n", JobFault::kMissingKey, 0, "name"},
      {"no mode", "name=n\nimage=i\nsha256=" + kHash + "\nports=A\n", JobFault::kMissingKey, 0,
       "mode"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    JobFile job;
    const JobVerdict verdict = parse(c.text, &job);
    EXPECT_EQ(verdict.fault, c.fault);
    EXPECT_EQ(verdict.line, c.line);
    EXPECT_EQ(verdict.key == nullptr ? "" : std::string(verdict.key),
              c.key == nullptr ? "" : c.key);
  }
}

}  // namespace
}  // namespace travek
