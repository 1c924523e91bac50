// The real binary against station-sim over a pseudo-terminal.
#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "station_sim_process.h"
#include "support/images.h"

namespace {

using e2e::ChildResult;
using e2e::json_field;
using e2e::StationSim;
using testing_support::TempFile;

ChildResult tool(const StationSim& sim, std::vector<std::string> args, std::string input = "") {
  args.insert(args.begin(), "-port:" + sim.port());
  e2e::ChildOptions options;
  options.input = std::move(input);
  options.timeout_ms = 120000;
  return e2e::run_child(TRAVEK32_PATH, args, options);
}

TEST(ToolE2e, SendOnlyModeStartsTheResident) {
  StationSim sim({"--clock", "11", "--expect", "resident"});
  ASSERT_FALSE(sim.port().empty());
  TempFile resident(testing_support::builtin_image());
  ChildResult r = tool(sim, {"-s", resident.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\nПорт " + sim.port() + ": Ожидание СТАРТА станции"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Ok! FQ: 11mHz\nЗасылаем резидента... T= "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" ms, Резидент: Старт - Ok!\n\nPress a key to exit\n\n"), std::string::npos)
      << r.out;

  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 0) << s.out << s.err;
  EXPECT_EQ(json_field(sim.verdict(), "clean"), "true") << sim.verdict();
  EXPECT_EQ(json_field(sim.verdict(), "divisor"), "5");
  EXPECT_EQ(json_field(sim.verdict(), "handshake"), "true");
}

TEST(ToolE2e, WrongEchoEndsTheRunWithTheCommunicationError) {
  StationSim sim({"--echo-wrong", "700", "--expect", "resident"});
  TempFile resident(testing_support::builtin_image());
  ChildResult r = tool(sim, {"-s", resident.path()});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find("Засылаем резидента...\nОшибка связи при загрузке резидента!\n\n"
                       "\nPress a key to exit\n\n"),
            std::string::npos)
      << r.out;
  ChildResult s = sim.finish();
  EXPECT_EQ(s.status, 1) << "the session never reached the resident";
  EXPECT_EQ(json_field(sim.verdict(), "clean"), "true") << sim.verdict();
}

}  // namespace
