#include "run/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace travek {
namespace {

struct Parsed {
  Outcome fault;
  std::string echo;
  RunOptions options;
  std::vector<std::string> files;
};

Parsed parse(std::initializer_list<const char*> args) {
  static std::string storage[16];
  char* argv[16] = {storage[0].data()};
  int argc = 1;
  for (const char* arg : args) {
    if (argc == 16) {
      ADD_FAILURE() << "more arguments than the helper holds";
      break;
    }
    storage[argc] = arg;
    argv[argc] = storage[argc].data();
    ++argc;
  }
  Parsed parsed{outcome("ok"), "", RunOptions{}, {}};
  const Arguments arguments = read_arguments(argc, argv, &parsed.options);
  parsed.fault = arguments.fault;
  parsed.echo = arguments.echo != nullptr ? arguments.echo : "";
  for (char* file : arguments.files) parsed.files.push_back(file);
  return parsed;
}

TEST(SwitchParsing, PortDigitAnyCaseAndTrailingTextIgnored) {
  EXPECT_EQ(parse({"-COM3"}).options.port_digit, '3');
  EXPECT_EQ(parse({"-com3x"}).options.port_digit, '3');
  EXPECT_EQ(parse({"-CoM1"}).options.port_digit, '1');
  EXPECT_EQ(parse({}).options.port_digit, '2');
}

TEST(SwitchParsing, BadPortDigitEchoesTheWholeArgument) {
  for (const char* arg : {"-com0", "-com5", "-com", "-comA"}) {
    Parsed p = parse({arg});
    EXPECT_EQ(p.fault, outcome("invalid-port")) << arg;
    EXPECT_EQ(p.echo, arg);
  }
}

TEST(SwitchParsing, NumbersAreReadInBaseZero) {
  EXPECT_EQ(parse({"-o:0x100"}).options.file_offset, 256u);
  EXPECT_EQ(parse({"-o:010"}).options.file_offset, 8u);
  EXPECT_EQ(parse({"-O:12abc"}).options.file_offset, 12u);
  EXPECT_EQ(parse({"-a:0xE0000"}).options.start_address, 0xE0000u);
  EXPECT_EQ(parse({"-A:917504"}).options.start_address, 0xE0000u);
}

TEST(SwitchParsing, ZeroOrUnreadableNumbersEchoOnlyTheTextAfterThePrefix) {
  Parsed offset = parse({"-o:0"});
  EXPECT_EQ(offset.fault, outcome("bad-offset"));
  EXPECT_EQ(offset.echo, "0");
  Parsed text = parse({"-o:abc"});
  EXPECT_EQ(text.fault, outcome("bad-offset"));
  EXPECT_EQ(text.echo, "abc");
  Parsed address = parse({"-a:"});
  EXPECT_EQ(address.fault, outcome("bad-address"));
  EXPECT_EQ(address.echo, "");
}

TEST(SwitchParsing, NumbersMustFitA32BitLong) {
  // What strtol with a 32-bit long reads whole is taken as its bit pattern;
  // what it would clamp is an input error, never a different number.
  const struct {
    const char* text;
    bool fits;
    uint32_t value;
  } cases[] = {
      {"0x7FFFFFFF", true, 0x7FFFFFFF},   {"-1", true, 0xFFFFFFFF},
      {"-0x80000000", true, 0x80000000},  {"0x80000000", false, 0},
      {"-0x80000001", false, 0},          {"4294967296", false, 0},
      {"99999999999999999999", false, 0}, {"0x100000000", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t value = 0;
    EXPECT_EQ(read_number(c.text, &value), c.fits) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
    Parsed offset = parse({(std::string("-o:") + c.text).c_str()});
    EXPECT_EQ(offset.fault, c.fits ? outcome("ok") : outcome("bad-offset")) << c.text;
    Parsed address = parse({(std::string("-a:") + c.text).c_str()});
    EXPECT_EQ(address.fault, c.fits ? outcome("ok") : outcome("bad-address")) << c.text;
    EXPECT_EQ(address.echo, c.fits ? "" : c.text);
  }
}

TEST(SwitchParsing, LastValueWins) {
  Parsed p = parse({"-o:5", "-com1", "-o:7", "-com4"});
  EXPECT_EQ(p.options.file_offset, 7u);
  EXPECT_EQ(p.options.port_digit, '4');
}

TEST(SwitchParsing, SendOnlyAcceptsAnyTail) {
  EXPECT_TRUE(parse({"-sfoo"}).options.send_only);
  EXPECT_TRUE(parse({"-S"}).options.send_only);
  EXPECT_FALSE(parse({"-o:1"}).options.send_only);
}

TEST(SwitchParsing, UnknownSwitchEchoedAsTyped) {
  Parsed p = parse({"-x"});
  EXPECT_EQ(p.fault, outcome("invalid-switch"));
  EXPECT_EQ(p.echo, "-x");
  EXPECT_EQ(parse({"-"}).fault, outcome("invalid-switch"));
}

TEST(SwitchParsing, PortPathAndComSwitchLastOneWins) {
  Parsed path = parse({"-com3", "-PORT:/dev/ttyUSB0"});
  EXPECT_STREQ(port_name(path.options), "/dev/ttyUSB0");
  Parsed digit = parse({"-port:/dev/ttyUSB0", "-com3"});
  EXPECT_STREQ(port_name(digit.options), "/dev/ttyS2");
  EXPECT_STREQ(port_name(parse({"-com1"}).options), "/dev/ttyS0");
  Parsed empty = parse({"-port:"});
  EXPECT_EQ(empty.fault, outcome("invalid-port"));
  EXPECT_EQ(empty.echo, "-port:");
}

TEST(SwitchParsing, LaterSwitches) {
  // None may begin as an older one does: "-sfoo" is send-only, "-a:..." an
  // address. Those without a value are taken whole, in any case.
  Parsed all = parse({"-f:SREC", "-log:runs.jsonl", "-JSON", "-y", "-Repeat", "-ports:A,B,C"});
  EXPECT_EQ(all.fault, outcome("ok"));
  EXPECT_TRUE(all.options.format_forced);
  EXPECT_EQ(all.options.format, ImageFormat::kSrecord);
  EXPECT_STREQ(all.options.log_path, "runs.jsonl");
  EXPECT_TRUE(all.options.events);
  EXPECT_TRUE(all.options.restart_at_once);
  EXPECT_TRUE(all.options.repeat);
  ASSERT_EQ(all.options.port_count, 3);
  EXPECT_STREQ(all.options.ports[2], "C");
  EXPECT_EQ(parse({"-f:hex", "-f:bin"}).options.format, ImageFormat::kBinary) << "the last wins";

  const struct {
    const char* arg;
    Outcome fault;
    const char* echo;
  } faults[] = {
      {"-f:elf", outcome("invalid-format"), "elf"},
      {"-f:", outcome("invalid-format"), ""},
      {"-jsonx", outcome("invalid-switch"), "-jsonx"},
      {"-yes", outcome("invalid-switch"), "-yes"},
      {"-ports:A,,B", outcome("invalid-port"), ""},
      {"-ports:", outcome("invalid-port"), ""},
      {"-ports:COM5,COM6,COM5", outcome("invalid-port"), "COM5"},
      {"-batch:0", outcome("invalid-switch"), "-batch:0"},
  };
  for (const auto& f : faults) {
    Parsed p = parse({f.arg});
    EXPECT_EQ(p.fault, f.fault) << f.arg;
    EXPECT_EQ(p.echo, f.echo) << f.arg;
  }
}

TEST(SwitchParsing, TheFirstFaultEndsTheReadingButJsonStillCounts) {
  Parsed p = parse({"a.bin", "-x", "b.bin", "-o:5", "-Json"});
  EXPECT_EQ(p.fault, outcome("invalid-switch"));
  EXPECT_EQ(p.files, std::vector<std::string>{"a.bin"}) << "files after the fault are not met";
  EXPECT_EQ(p.options.file_offset, 0u);
  EXPECT_TRUE(p.options.events);
  EXPECT_FALSE(parse({"-json:"}).options.events);
}

TEST(SwitchParsing, EachStationGetsTheSwitchesThatShapeItsRunAndTheFile) {
  // Never the ports, the log, the events or the batches; each switch by its
  // last value, as typed.
  Parsed p = parse({"-o:0x10", "one.hex", "-A:0xE0000", "-sport:x", "-f:hex", "-o:0x20", "-y",
                    "-com3", "-log:l", "-N:n.txt"});
  ASSERT_EQ(p.fault, outcome("ok"));
  p.options.ports[0] = "COM5";
  p.options.port_count = 1;
  p.options.events = p.options.repeat = true;
  const std::vector<std::string> expected = {"-o:0x20", "-A:0xE0000", "-sport:x", "-f:hex",
                                             "-y",      "-N:n.txt",   "one.hex"};
  EXPECT_STREQ(p.options.numbers_path, "n.txt");
  EXPECT_EQ(station_arguments(p.options), expected);
  size_t length = 0;
  EXPECT_STREQ(binary_only_switch(p.options, &length), "-o:0x20");
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(binary_only_switch(parse({"-f:hex", "-y"}).options, &length), nullptr);
}

}  // namespace
}  // namespace travek
