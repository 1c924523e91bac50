#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace travek {
namespace {

struct Parsed {
  SwitchFault fault;
  std::string echo;
  RunOptions options;
};

Parsed parse(std::initializer_list<const char*> args) {
  Parsed parsed{SwitchFault::kNone, "", RunOptions{}};
  static std::string storage[8];
  int i = 0;
  for (const char* arg : args) {
    storage[i] = arg;
    SwitchVerdict verdict = parse_switch(storage[i].data(), &parsed.options);
    ++i;
    if (verdict.fault != SwitchFault::kNone) {
      parsed.fault = verdict.fault;
      parsed.echo = verdict.echo;
      break;
    }
  }
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
    EXPECT_EQ(p.fault, SwitchFault::kInvalidPort) << arg;
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
  EXPECT_EQ(offset.fault, SwitchFault::kBadOffset);
  EXPECT_EQ(offset.echo, "0");
  Parsed text = parse({"-o:abc"});
  EXPECT_EQ(text.fault, SwitchFault::kBadOffset);
  EXPECT_EQ(text.echo, "abc");
  Parsed address = parse({"-a:"});
  EXPECT_EQ(address.fault, SwitchFault::kBadAddress);
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
    EXPECT_EQ(offset.fault, c.fits ? SwitchFault::kNone : SwitchFault::kBadOffset) << c.text;
    Parsed address = parse({(std::string("-a:") + c.text).c_str()});
    EXPECT_EQ(address.fault, c.fits ? SwitchFault::kNone : SwitchFault::kBadAddress) << c.text;
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
  EXPECT_EQ(p.fault, SwitchFault::kInvalidSwitch);
  EXPECT_EQ(p.echo, "-x");
  EXPECT_EQ(parse({"-"}).fault, SwitchFault::kInvalidSwitch);
}

TEST(SwitchParsing, PortPathAndComSwitchLastOneWins) {
  Parsed path = parse({"-com3", "-PORT:/dev/ttyUSB0"});
  EXPECT_STREQ(port_name(path.options), "/dev/ttyUSB0");
  Parsed digit = parse({"-port:/dev/ttyUSB0", "-com3"});
  EXPECT_STREQ(port_name(digit.options), "/dev/ttyS2");
  EXPECT_STREQ(port_name(parse({"-com1"}).options), "/dev/ttyS0");
  Parsed empty = parse({"-port:"});
  EXPECT_EQ(empty.fault, SwitchFault::kInvalidPort);
  EXPECT_EQ(empty.echo, "-port:");
}

TEST(SwitchParsing, LaterSwitches) {
  // None may begin as an older one does: "-sfoo" is send-only, "-a:..." an
  // address. Those without a value are taken whole, in any case.
  Parsed all = parse({"-f:SREC", "-log:runs.jsonl", "-JSON", "-y", "-Repeat", "-ports:A,B,C"});
  EXPECT_EQ(all.fault, SwitchFault::kNone);
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
    SwitchFault fault;
    const char* echo;
  } faults[] = {
      {"-f:elf", SwitchFault::kInvalidFormat, "elf"},
      {"-f:", SwitchFault::kInvalidFormat, ""},
      {"-jsonx", SwitchFault::kInvalidSwitch, "-jsonx"},
      {"-yes", SwitchFault::kInvalidSwitch, "-yes"},
      {"-ports:A,,B", SwitchFault::kInvalidPort, ""},
      {"-ports:", SwitchFault::kInvalidPort, ""},
      {"-ports:COM5,COM6,COM5", SwitchFault::kInvalidPort, "COM5"},
  };
  for (const auto& f : faults) {
    Parsed p = parse({f.arg});
    EXPECT_EQ(p.fault, f.fault) << f.arg;
    EXPECT_EQ(p.echo, f.echo) << f.arg;
  }
  EXPECT_TRUE(is_events_switch("-Json"));
  EXPECT_FALSE(is_events_switch("-json:"));

  // A station's own run in a run of many: its shape, never the ports, the
  // log, the events or the batches, matched as parse_switch matches them.
  const struct {
    const char* arg;
    bool kept;
  } station_args[] = {
      {"image.hex", true},   {"-o:0x10", true},     {"-A:0xE0000", true}, {"-s", true},
      {"-sport:x", true},    {"-f:hex", true},      {"-y", true},         {"-com3", false},
      {"-PORT:COM5", false}, {"-ports:A,B", false}, {"-log:l", false},    {"-json", false},
      {"-REPEAT", false},    {"-bogus", true},
  };
  for (const auto& a : station_args) EXPECT_EQ(is_station_argument(a.arg), a.kept) << a.arg;
}

}  // namespace
}  // namespace travek
