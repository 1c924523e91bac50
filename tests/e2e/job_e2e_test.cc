// Production jobs end to end: the real binary with -job: against
// station-sim. The job fixes the run: switches beside it are refused, its
// file's faults are told, its paths are taken from its own folder
// whatever the working folder, and its image is the one it pins (by
// sha256sum's hash, as a line engineer takes it) or nothing is sent, in a
// run alone and in each batch of a run of many.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "child_process.h"
#include "event_lines.h"
#include "station_sim_process.h"
#include "support/images.h"
#include "support/output.h"

namespace {

using e2e::ChildResult;
using e2e::json_lines;
using e2e::read_text;
using e2e::RunningChild;
using e2e::StationSim;
using nlohmann::json;
using testing_support::Bytes;
using testing_support::contains;

class JobE2e : public e2e::FolderTest {
 protected:
  JobE2e() : FolderTest("job") {}

  // The hash a line engineer takes of a file: sha256sum's.
  static std::string sha256sum(const std::string& file) {
    const ChildResult r = e2e::run_child("/usr/bin/sha256sum", {file});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.substr(0, 64);
  }

  // A job with these lines beside its name.
  std::string job(const std::string& name, const std::string& lines) const {
    return write(name, "# a job of the tests\nname = line3-ctrl-revB\n" + lines);
  }

  // The tool run from `folder` with these arguments.
  static ChildResult run_in(const std::string& folder, const std::vector<std::string>& args,
                            const std::string& input = "") {
    std::string command = "cd '" + folder + "' && exec '" TRAVEK32_PATH "'";
    for (const std::string& a : args) command += " '" + a + "'";
    e2e::ChildOptions options;
    options.input = input;
    options.timeout_ms = 60000;
    return e2e::run_child("/bin/sh", {"-c", command}, options);
  }
};

// What the job refuses and what its file's faults are: each its message
// and key, status 255, and no port touched (the job's port does not even
// exist, which opening would tell).
TEST_F(JobE2e, RefusedSwitchesAndFaultsOfTheFile) {
  const std::string hash(64, 'a');
  const std::string body = "image = fw.bin\nsha256 = " + hash + "\nmode = single\n";
  const std::string sound = job("sound.job", body + "ports = /dev/ttyNOPE9\n");
  write("fw.bin", Bytes(1024, 0x11));
  const struct {
    std::vector<std::string> args;
    std::string message;
    std::string key;
  } cases[] = {
      {{"-job:" + sound, "-y"}, "\nКлюч -y неприменим с заданием\n\n", "job-switch-refused"},
      {{"-Y", "-job:" + sound}, "\nКлюч -Y неприменим с заданием\n\n", "job-switch-refused"},
      {{"-job:" + sound, path("fw.bin")},
       "\nКлюч " + path("fw.bin") + " неприменим с заданием\n\n",
       "job-switch-refused"},
      {{"-job:" + sound, "-job:" + sound},
       "\nКлюч -job:" + sound + " неприменим с заданием\n\n",
       "job-switch-refused"},
      {{"-job:" + sound, "-port:/dev/ttyS0"},
       "\nКлюч -port:/dev/ttyS0 неприменим с заданием\n\n",
       "job-switch-refused"},
      {{"-job:" + job("twice.job", body + "ports = A\nmode = auto\n")},
       "\nОшибка в файле задания, строка 7: ключ задан дважды\n",
       "job-file-error"},
      {{"-job:" + job("no-hash.job", "image = fw.bin\nports = A\nmode = auto\n")},
       "\nВ файле задания не задан ключ sha256\n",
       "job-file-error"},
      {{"-job:" + job("two.job", "image=fw.bin\nsha256=" + hash + "\nports=A, B\nmode=single\n")},
       "\nОшибка в файле задания, строка 5: неверное значение\n",
       "job-file-error"},
      {{"-job:" + path("missing.job")},
       "\nОшибка открытия файла задания: \"" + path("missing.job") + "\"\n\n",
       "job-file-error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    const ChildResult text = e2e::run_child(TRAVEK32_PATH, c.args);
    EXPECT_EQ(text.status, 255);
    EXPECT_TRUE(contains(text.out, c.message + "\nPress a key to exit\n")) << text.out;
    EXPECT_FALSE(contains(text.out, "Порт")) << "nothing reaches a port";
    std::vector<std::string> with_json = c.args;
    with_json.push_back("-json");
    const ChildResult events = e2e::run_child(TRAVEK32_PATH, with_json);
    const std::vector<json> lines = json_lines(events.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["result"], c.key);
    EXPECT_EQ(lines.back()["status"], 255);
  }
}

// A job in a folder of its own, its paths relative to it, run from a third
// folder: the image it pins goes into the station, the operator sees the
// job, and the record names the job and its text's hash. A byte changed in
// the image is refused before the port; the same bytes under another name
// are the job's image all the same.
TEST_F(JobE2e, TheImageItPinsAndNoOther) {
  std::filesystem::create_directories(path("jobs/fw"));
  std::filesystem::create_directories(path("elsewhere"));
  const Bytes image = e2e::random_image(32768, 5);
  const std::string fw = write("jobs/fw/firmware-2.4.1.bin", image);
  const std::string hash = sha256sum(fw);
  std::string spaced;  // as older certutil writes it
  for (size_t i = 0; i < hash.size(); i += 2) spaced += hash.substr(i, 2) + " ";
  for (char& c : spaced) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto run_job = [&](const std::string& image_line, const std::string& log) {
    StationSim sim({"--clock", "11", "--flash-out", path("flash")});
    const std::string text = "image = " + image_line + "\nsha256 = " + spaced +
                             "\nports = " + sim.port() +
                             "\nmode = single\nrestart = yes\nlog = " + log + "\n";
    const std::string job_file = job("jobs/line3.job", text);
    const ChildResult r = run_in(path("elsewhere"), {"-job:" + job_file}, "x");
    sim.finish(r.status == 0 ? 20000 : 1000);
    return std::make_pair(r, sha256sum(job_file));
  };

  const auto [good, job_hash] = run_job("fw/firmware-2.4.1.bin", "line3.jsonl");
  EXPECT_EQ(good.status, 0) << good.out << good.err;
  EXPECT_TRUE(contains(good.out,
                       "\"TRAVEK\", WIN32 Console version 1.03\nЗадание: line3-ctrl-revB\n"
                       "Образ: fw/firmware-2.4.1.bin, SHA-256 " +
                           hash.substr(0, 12) + "\n"));
  const std::string flashed = read_text(path("flash"));
  const Bytes flash(flashed.begin(), flashed.end());
  EXPECT_TRUE(flash.size() >= image.size() &&
              std::equal(image.begin(), image.end(), flash.end() - image.size()));
  const std::vector<json> records = json_lines(read_text(path("jobs/line3.jsonl")));
  ASSERT_EQ(records.size(), 1u) << "the log beside the job, not in the working folder";
  EXPECT_EQ(records[0]["result"], "ok");
  EXPECT_EQ(records[0]["sha256"], hash);
  EXPECT_EQ(records[0]["job"], "line3-ctrl-revB");
  EXPECT_EQ(records[0]["job_sha256"], job_hash);

  // One byte changed: refused before the port, told with both hashes.
  Bytes changed = image;
  changed[100] ^= 0x01;
  write("jobs/fw/firmware-2.4.1.bin", changed);
  const auto [refused, ignored] = run_job("fw/firmware-2.4.1.bin", "line3.jsonl");
  EXPECT_EQ(refused.status, 255);
  EXPECT_TRUE(contains(refused.out, "\nОбраз не совпадает с заданием!\n\nPress a key to exit"))
      << refused.out;
  EXPECT_FALSE(contains(refused.out, "Порт"));
  EXPECT_TRUE(contains(refused.err, hash) && contains(refused.err, sha256sum(fw)) &&
              contains(refused.err, "firmware-2.4.1.bin"))
      << refused.err;
  const std::vector<json> after = json_lines(read_text(path("jobs/line3.jsonl")));
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[1]["result"], "job-image-mismatch");
  EXPECT_EQ(after[1]["clock"], nullptr) << "no station reached";

  // The released bytes under another name: accepted.
  write("jobs/fw/renamed.bin", image);
  const auto [renamed, job_hash2] = run_job("fw/renamed.bin", "line3.jsonl");
  EXPECT_EQ(renamed.status, 0) << renamed.out;
}

// Batch after batch: the image rewritten between two batches fails each
// station of the second, before anything is sent to it; every record
// names the job.
TEST_F(JobE2e, AnImageRewrittenBetweenBatchesIsRefusedByEachStation) {
  const Bytes image = e2e::random_image(16384, 6);
  write("fw.bin", image);
  StationSim a({"--sessions", "2", "--flash-out", path("a")});
  StationSim b({"--sessions", "2", "--clock", "12", "--flash-out", path("b")});
  const std::string job_file =
      job("batch.job", "image = fw.bin\nsha256 = " + sha256sum(path("fw.bin")) +
                           "\nports = " + a.port() + ", " + b.port() +
                           "\nmode = batch\nrestart = yes\n" + "log = batch.jsonl\n");
  RunningChild run(TRAVEK32_PATH, {"-job:" + job_file});
  ASSERT_TRUE(run.wait_for_output("Следующая партия", 60000)) << run.out();
  Bytes rewritten = image;
  rewritten[0] ^= 0xFF;
  write("fw.bin", rewritten);
  run.send_input("\r");
  ASSERT_TRUE(run.wait_for_output("Образ не совпадает", 60000)) << run.out();
  // The second batch's prompt: no third batch.
  ASSERT_TRUE(run.wait_for_count("Следующая партия", 2, 60000)) << run.out();
  run.send_input("\x1b");
  ASSERT_TRUE(run.wait_for_output("Press a key to exit", 60000)) << run.out();
  run.send_input("x");
  const ChildResult r = run.finish(60000);
  EXPECT_EQ(r.status, 255);
  const std::vector<json> records = json_lines(read_text(path("batch.jsonl")));
  ASSERT_EQ(records.size(), 4u) << r.out;
  for (const json& record : records) {
    EXPECT_EQ(record["job"], "line3-ctrl-revB");
    EXPECT_EQ(record["result"], record["batch"] == 1 ? "ok" : "job-image-mismatch") << record;
  }
  EXPECT_EQ(records[2]["port"] == a.port() ? records[2]["clock"] : records[3]["clock"], nullptr);
  // Each station-sim saw its first session alone: the second was never sent.
  for (StationSim* sim : {&a, &b}) {
    const ChildResult s = sim->finish(1000);
    EXPECT_EQ(json_lines(s.out.substr(s.out.find('\n') + 1)).size(), 1u) << s.out;
  }
}

// A job of the unattended line: each port's process reads and checks the
// pinned image once for its whole series, every station's record names the
// job and its text's hash, and each port counts its own cycles.
TEST_F(JobE2e, AJobOfTheUnattendedLine) {
  write("fw.bin", e2e::random_image(8192, 8));
  StationSim a({"--sessions", "2", "--arrive-ms", "3100", "--link", path("a")});
  StationSim b({"--sessions", "2", "--arrive-ms", "3300", "--clock", "11", "--link", path("b")});
  const std::string job_file =
      job("auto.job", "image = fw.bin\nsha256 = " + sha256sum(path("fw.bin")) + "\nports = " +
                          path("a") + ", " + path("b") + "\nmode = auto\nlog = auto.jsonl\n");
  RunningChild run(TRAVEK32_PATH, {"-job:" + job_file});
  // Each station's stage stays "готово" in its port's plain lines.
  ASSERT_TRUE(run.wait_for_count(": готово", 4, 60000)) << run.out();
  run.send_input("\x1b");
  ASSERT_TRUE(run.wait_for_output("Press a key to exit", 60000)) << run.out();
  run.send_input("x");
  const ChildResult r = run.finish(60000);
  EXPECT_EQ(r.status, 0) << r.out;
  const std::vector<json> records = json_lines(read_text(path("auto.jsonl")));
  ASSERT_EQ(records.size(), 4u) << r.out;
  std::map<std::string, std::vector<int>> cycles;
  for (const json& record : records) {
    EXPECT_EQ(record["job"], "line3-ctrl-revB");
    EXPECT_EQ(record["job_sha256"], sha256sum(job_file));
    EXPECT_EQ(record["result"], "ok") << record;
    cycles[record["port"]].push_back(record["cycle"]);
  }
  for (const auto& [port, seen] : cycles) EXPECT_EQ(seen, (std::vector<int>{1, 2})) << port;
}

}  // namespace
