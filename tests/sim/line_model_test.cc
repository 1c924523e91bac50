// The line model decides what the tool receives at the wrong rate; the clock
// classes must come out of it, not out of a table.
#include "line_model.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

Received one_byte(uint8_t byte, LineSide tx, LineSide rx) {
  std::vector<Received> got = pass_burst({byte}, tx, rx);
  EXPECT_EQ(got.size(), 1u);
  return got.empty() ? Received{} : got[0];
}

TEST(LineModel, StartBytePatternsOfTheThreeClockClassesAt9600) {
  const LineSide pc{9600, 1};
  Received at10 = one_byte(0x55, {9600, 2}, pc);
  Received at12 = one_byte(0x55, {11520, 2}, pc);
  Received at11 = one_byte(0x55, {10472, 2}, pc);
  EXPECT_EQ(at10.value, 0x55);
  EXPECT_EQ(at12.value, 0xEB);
  EXPECT_EQ(at11.value, 0xA5);
  EXPECT_EQ(at10.value & 0xB5, 0x15);
  EXPECT_EQ(at12.value & 0xB5, 0xA1);
  EXPECT_EQ(at11.value & 0xB5, 0xA5);
  for (const Received& r : {at10, at12, at11}) EXPECT_FALSE(r.framing_error);
}

TEST(LineModel, ByteIsReadyAtItsLastStopBitSample) {
  Received r = one_byte(0x00, {9600, 1}, {9600, 1});
  // Start edge seen 1/16 bit late, stop bit sampled 9.5 bits after that.
  EXPECT_NEAR(r.ready, (1.0 / 16 + 9.5) * 1e6 / 9600, 1e-6);
}

TEST(LineModel, ResidentRatesWithinTwoPercentPassEveryByte) {
  // 10 MHz / (16 * 11) against a PC at 57600, in both directions and back to back.
  const LineSide station{10e6 / 176, 1};
  const LineSide pc{57600, 1};
  std::vector<uint8_t> all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<uint8_t>(b));
  for (auto [tx, rx] : {std::pair{station, pc}, std::pair{pc, station}}) {
    std::vector<Received> got = pass_burst(all, tx, rx);
    ASSERT_EQ(got.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
      EXPECT_EQ(got[i].value, all[i]);
      EXPECT_FALSE(got[i].framing_error);
    }
  }
}

TEST(LineModel, MismatchedRateGarbles) {
  // The body sent at 9600 to a 12 MHz boot loader listening at 11520.
  std::vector<uint8_t> body = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  std::vector<Received> got = pass_burst(body, {9600, 2}, {11520, 2});
  bool garbled = got.size() != body.size();
  for (size_t i = 0; !garbled && i < got.size(); ++i) {
    garbled = got[i].value != body[i] || got[i].framing_error;
  }
  EXPECT_TRUE(garbled);
  // A much faster receiver makes several bytes of one.
  EXPECT_GT(pass_burst({0x55}, {9600, 1}, {115200, 1}).size(), 1u);
}

TEST(LineModel, OneStopBitBackToBackFailsATwoStopBitReceiver) {
  std::vector<uint8_t> body(8, 0x00);
  std::vector<Received> two = pass_burst(body, {9600, 2}, {9600, 2});
  ASSERT_EQ(two.size(), body.size());
  for (const Received& r : two) EXPECT_FALSE(r.framing_error);
  std::vector<Received> one = pass_burst(body, {9600, 1}, {9600, 2});
  int errors = 0;
  for (const Received& r : one) errors += r.framing_error;
  EXPECT_GT(errors, 0);
}

TEST(LineModel, LowStopBitAndBreak) {
  Receiver rx({9600, 1});
  std::vector<Received> got;
  rx.receive(frame_without_stop(0xF0, 0, {9600, 1}), &got);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].framing_error);
  EXPECT_FALSE(got[0].brk);

  got.clear();
  rx.reset();
  rx.receive(line_break(10000, {9600, 1}, 20), &got);
  ASSERT_GE(got.size(), 1u);
  EXPECT_TRUE(got[0].brk);
  EXPECT_TRUE(got[0].framing_error);
  EXPECT_EQ(got[0].value, 0);
}

}  // namespace
}  // namespace sim
