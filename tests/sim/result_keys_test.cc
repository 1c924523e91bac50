// Every way a run ends, in one table: each result key the tool can give,
// driven in-process on the virtual-time line with -json, must appear in the
// end event with its exact message and status. The manual's list of keys
// and the table must name the same keys.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "common/constants.h"
#include "e2e/event_lines.h"
#include "support/images.h"
#include "virtual_line.h"

namespace sim {
namespace {

using nlohmann::json;
using testing_support::Bytes;
using testing_support::TempFile;

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A numbers file with a field of 4 bytes at this address, and these lines.
TempFile numbers(const char* address, const std::string& lines) {
  return TempFile(
      text_bytes(std::string("address = ") + address + "\nbytes = 4\nencoding = le\n" + lines));
}

// The inputs the rows name, by the word that stands for them in the rows.
struct Files {
  Files() { mkdir((unwritable.path() + ".tmp").c_str(), 0700); }
  ~Files() { rmdir((unwritable.path() + ".tmp").c_str()); }
  TempFile typo{numbers("0xFFF00", "nxet = 5\n")};
  TempFile no_next{numbers("0xFFF00", "")};
  TempFile outside{numbers("0xF0000", "next = 5\n")};
  TempFile used_up{numbers("0xFFF00", "next = 6\nlast = 5\n")};
  TempFile too_large{numbers("0xFFF00", "command = echo 99999999999\n")};
  TempFile no_number{numbers("0xFFF00", "command = exit 3\n")};
  // Its write-back cannot replace it: a folder stands where it goes first.
  TempFile unwritable{numbers("0xFFF00", "next = 5\n")};
  // Fields beside the number: one outside the data, one used up, and a list
  // whose first line is no value, beside its numbers file.
  TempFile field_outside{
      numbers("0xFFF00",
              "next = 5\nmac.address = 0xF0000\nmac.bytes = 6\nmac.encoding = be\n"
              "mac.next = 1\n")};
  TempFile field_used_up{
      numbers("0xFFF00",
              "next = 5\nmac.address = 0xFFF10\nmac.bytes = 6\nmac.encoding = be\n"
              "mac.next = 5\nmac.last = 4\n")};
  e2e::TempFolder lists{"result-keys"};
  const std::string list_numbers = [this] {
    std::ofstream(lists.path() + "/keys.txt") << "ABC\n";
    std::ofstream(lists.path() + "/line.numbers")
        << "address = 0xFFF00\nbytes = 4\nencoding = le\nnext = 5\nkey.address = 0xFFF20\n"
           "key.bytes = 4\nkey.list = keys.txt\nkey.next = 1\n";
    return lists.path() + "/line.numbers";
  }();

  TempFile image{e2e::random_image(8192)};
  TempFile shrinking{e2e::random_image(8192)};
  TempFile odd{e2e::random_image(1000)};
  TempFile large{e2e::random_image(262144)};
  TempFile empty{Bytes{}};
  TempFile bad_hex{Bytes{':', '0', '0', '0', '0', '0', '0', '0', '1', 'F', 'E', '\n'}};
  // Jobs: one with a key no job has, one pinning another image.
  TempFile bad_job{text_bytes("colour = red\n")};
  TempFile wrong_job{text_bytes("name = line3\nimage = " + image.path() + "\nsha256 = " +
                                std::string(64, '0') + "\nports = COM2\nmode = single\n")};
  TempFile bad_code{[] {
    Bytes image = testing_support::builtin_image();
    image[1] = 0x37;  // the magic
    return testing_support::seal(Bytes(image.begin(), image.end() - 2));
  }()};
  TempFile bad_crc{[] {
    Bytes image = testing_support::builtin_image();
    image[20] ^= 0x01;
    return image;
  }()};

  std::string path(const std::string& arg) const {
    const std::map<std::string, const TempFile*> named = {{"IMAGE", &image},
                                                          {"SHRINKING", &shrinking},
                                                          {"ODD", &odd},
                                                          {"LARGE", &large},
                                                          {"EMPTY", &empty},
                                                          {"BAD_HEX", &bad_hex},
                                                          {"BAD_CODE", &bad_code},
                                                          {"BAD_CRC", &bad_crc},
                                                          {"-n:TYPO", &typo},
                                                          {"-n:NO_NEXT", &no_next},
                                                          {"-n:OUTSIDE", &outside},
                                                          {"-n:USED_UP", &used_up},
                                                          {"-n:TOO_LARGE", &too_large},
                                                          {"-n:NO_NUMBER", &no_number},
                                                          {"-n:UNWRITABLE", &unwritable},
                                                          {"-n:FIELD_OUTSIDE", &field_outside},
                                                          {"-n:FIELD_USED_UP", &field_used_up},
                                                          {"-job:BAD_JOB", &bad_job},
                                                          {"-job:WRONG_JOB", &wrong_job}};
    if (arg == "-n:LIST") return "-n:" + list_numbers;
    for (const char* prefix : {"-n:", "-job:"}) {
      if (arg.rfind(prefix, 0) == 0 && named.count(arg) != 0) {
        return prefix + named.at(arg)->path();
      }
    }
    const auto found = named.find(arg);
    return found == named.end() ? arg : found->second->path();
  }
};

struct KeyRow {
  const char* key;
  const char* message;  // null for none
  std::vector<std::string> args;
  StationConfig station = {};
  VirtualOptions options = {};
  std::function<void(VirtualLine&, const Files&)> script = nullptr;
};

StationConfig station(const std::function<void(StationConfig&)>& change) {
  StationConfig config;
  change(config);
  return config;
}

const StationConfig kNeverStarts = station([](StationConfig& c) { c.boot_delay_ms = 1e9; });

// One line of a child's event stream.
std::string event_line(const json& event) { return event.dump() + "\n"; }

const std::vector<KeyRow>& rows() {
  static const std::vector<KeyRow> table = {
      {"ok", nullptr, {"-y", "IMAGE"}},
      {"invalid-port", "Недопустимый порт: -com5", {"-com5", "IMAGE"}},
      {"bad-offset", "Ошибка при вводе смещения: 0", {"-o:0", "IMAGE"}},
      {"bad-address", "Ошибка при вводе адреса: abc", {"-a:abc", "IMAGE"}},
      {"invalid-switch", "Недопустимый ключ: -x", {"-x", "IMAGE"}},
      {"invalid-format", "Недопустимый формат файла: elf", {"-f:elf", "IMAGE"}},
      {"switch-not-applicable", "Ключ -o: неприменим к файлу Intel HEX", {"-o:16", "BAD_HEX"}},
      {"file-open-error",
       "Ошибка открытия файла: \"/nonexistent/travek.bin\"",
       {"/nonexistent/travek.bin"}},
      {"no-file-name", "Не определено имя файла!", {}},
      {"log-open-error",
       "Ошибка открытия журнала: \"/nonexistent/runs.jsonl\"",
       {"-log:/nonexistent/runs.jsonl", "IMAGE"}},
      {"port-unavailable",
       "Недоступен или неисправен порт: COM2\n- возможно захвачен другой программой",
       {"IMAGE"},
       {},
       {.port_missing = true}},
      {"offset-not-below-size", "Смещение больше или равно длине файла!", {"-o:8192", "IMAGE"}},
      {"bad-load-size", "Плохой размер загружаемой части файла!", {"EMPTY"}},
      // The file shrinks between its open and its read.
      {"file-read-error",
       "Ошибка чтения файла!",
       {"SHRINKING"},
       {},
       {},
       [](VirtualLine& line, const Files& files) {
         const std::string path = files.shrinking.path();
         line.on_port_open([path] { ASSERT_EQ(truncate(path.c_str(), 100), 0); });
       }},
      {"format-error", "Ошибка формата файла, строка 1: неверная контрольная сумма", {"BAD_HEX"}},
      {"bad-resident-code", "Плохой код резидента", {"-s", "BAD_CODE"}},
      {"bad-resident-crc", "Плохая CRC резидента", {"-s", "BAD_CRC"}},
      {"cancelled",
       "Загрузка отменена оператором",
       {"IMAGE"},
       kNeverStarts,
       {},
       [](VirtualLine& line, const Files&) { line.press(150, travek::KEY_ESC); }},
      {"station-no-response", "Станция не отвечает!", {"IMAGE"}, station([](StationConfig& c) {
         c.faults.echo_missing_at = 5;
       })},
      {"resident-comm-error",
       "Ошибка связи при загрузке резидента!",
       {"IMAGE"},
       station([](StationConfig& c) { c.faults.echo_wrong_at = 300; })},
      {"handshake-silent", "молчит!", {"IMAGE"}, station([](StationConfig& c) {
         c.faults.no_handshake_answer = true;
       })},
      {"handshake-bad-answer", "плохой ответ!", {"IMAGE"}, station([](StationConfig& c) {
         c.faults.handshake_answer = 0x41;
       })},
      {"no-packet", "Нет пакета!", {"IMAGE"}, station([](StationConfig& c) {
         c.faults.packet = PacketFault::kShort;
       })},
      {"not-packet", "Не пакет!", {"IMAGE"}, station([](StationConfig& c) {
         c.faults.packet = PacketFault::kWrongCode;
       })},
      {"packet-failure", "Сбой при приеме пакета!", {"IMAGE"}, station([](StationConfig& c) {
         c.faults.packet = PacketFault::kBadCrc;
       })},
      {"chip-missing", "Тип FLASH_0:       Bad!", {"IMAGE"}, station([](StationConfig& c) {
         c.chips[0] = {};
       })},
      {"chips-differ", "FLASH_0 и FLASH_1 не одинаковы!", {"IMAGE"}, station([](StationConfig& c) {
         c.flags = 4;  // a second chip
         c.chips[1] = kAT29C020;
       })},
      {"start-outside-flash", "Начальный адрес загрузки за пределами FLASH!", {"-a:0x10", "IMAGE"}},
      {"start-not-sector-start", "Начальный адрес загрузки не в начале сектора!", {"ODD"}},
      {"file-too-large", "Файл слишком большой!", {"LARGE"}, station([](StationConfig& c) {
         c.chips[0] = kAT29C010;
       })},
      {"sector-size-conflict",
       "Конфликт с размером сектора!",
       {"IMAGE"},
       station([](StationConfig& c) {
         c.chips[0] = {0x1F, 0xD5, 0x03, 0xFE};
       })},
      {"resident-not-inviting", "Резидент не приглашает!", {"IMAGE"}, station([](StationConfig& c) {
         c.faults.silent_after_stream_bytes = 3000;
       })},
      {"flash-write-error", "Ошибка записи FLASH!", {"IMAGE"}, station([](StationConfig& c) {
         c.faults.fail_sector = 2;
       })},
      {"flash-comm-error",
       "Ошибка связи при загрузке FLASH!",
       {"IMAGE"},
       station([](StationConfig& c) { c.faults.broken_report_sector = 1; })},
      {"terminated",
       "SIGTERM",
       {"IMAGE"},
       kNeverStarts,
       {},
       [](VirtualLine& line, const Files&) { line.request_end(300); }},
      {"log-write-error", "/dev/full: No space left on device", {"-y", "-log:/dev/full", "IMAGE"}},
      // Station serial numbers.
      {"switch-not-applicable", "Ключ -n: неприменим с ключом -s", {"-s", "-n:x", "IMAGE"}},
      {"numbers-file-error",
       "Ошибка в файле номеров, строка 4: неизвестный ключ",
       {"-n:TYPO", "IMAGE"}},
      {"numbers-file-error", "В файле номеров не задан ключ next", {"-n:NO_NEXT", "IMAGE"}},
      {"numbers-file-error",
       "Ошибка открытия файла номеров: \"/no/such/numbers\"",
       {"-n:/no/such/numbers", "IMAGE"}},
      {"number-outside-data",
       "Номер станции за пределами загружаемых данных!",
       {"-n:OUTSIDE", "IMAGE"}},
      {"numbers-exhausted", "Номера станций исчерпаны!", {"-n:USED_UP", "IMAGE"}},
      {"number-too-large",
       "Номер станции 99999999999 не помещается в поле!",
       {"-n:TOO_LARGE", "IMAGE"}},
      {"numbers-write-error", "Ошибка записи файла номеров!", {"-n:UNWRITABLE", "IMAGE"}},
      {"number-command-failed", "Команда не дала номер станции!", {"-n:NO_NUMBER", "IMAGE"}},
      // A station's fields beside its number.
      {"field-outside-data",
       "Поле mac за пределами загружаемых данных!",
       {"-n:FIELD_OUTSIDE", "IMAGE"}},
      {"field-exhausted", "Исчерпано поле mac!", {"-n:FIELD_USED_UP", "IMAGE"}},
      {"list-error", "Ошибка в списке keys.txt, строка 1", {"-n:LIST", "IMAGE"}},
      // The unattended line, and production jobs.
      {"switch-not-applicable",
       "Ключ -auto неприменим с ключом -repeat",
       {"-auto", "-repeat", "IMAGE"}},
      {"job-switch-refused", "Ключ -y неприменим с заданием", {"-job:x", "-y"}},
      {"job-file-error", "Ошибка в файле задания, строка 1: неизвестный ключ", {"-job:BAD_JOB"}},
      {"job-image-mismatch", "Образ не совпадает с заданием!", {"-job:WRONG_JOB"}},
      // A station's run, in a run of many, that dies without its end.
      {"aborted",
       "процесс станции прерван сигналом 9",
       {"-ports:P1", "IMAGE"},
       {},
       {},
       [](VirtualLine& line, const Files&) {
         ChildScript child;
         child.run.writes = {{0, event_line({{"event", "waiting"}})}};
         child.run.exit_after_ms = 40;
         child.run.signal = 9;
         line.children().script(0, {child});
       }},
  };
  return table;
}

// The last end event of the run's stream.
json end_event(const VirtualLine& line) {
  json end;
  for (const json& event : e2e::json_lines(line.events())) {
    if (event["event"] == "end") end = event;
  }
  return end;
}

TEST(ResultKeys, EachKeyEndsItsRunWithItsMessage) {
  const Files files;
  for (const KeyRow& row : rows()) {
    SCOPED_TRACE(row.key);
    VirtualLine line(row.station, row.options);
    if (row.script) row.script(line, files);
    std::vector<std::string> args = {"-json"};
    for (const std::string& arg : row.args) args.push_back(files.path(arg));
    const int status = line.run_tool(args);
    const int expected_status = std::string(row.key) == "ok" ? 0 : 255;
    EXPECT_EQ(status, expected_status) << line.events() << line.diagnostics();
    const json end = end_event(line);
    ASSERT_TRUE(end.is_object()) << line.events();
    EXPECT_EQ(end["result"], row.key);
    EXPECT_EQ(end["message"], row.message != nullptr ? json(row.message) : json());
    EXPECT_EQ(end["status"], expected_status);
    EXPECT_EQ(line.output(), "") << "-json writes no console text";
  }
}

// The failure keys the manual lists, each its own tagged paragraph, after
// "result is ok or one of these keys", up to the next section.
std::set<std::string> manual_keys() {
  std::ifstream in(TRAVEK_MAN_PAGE);
  std::set<std::string> keys;
  bool in_list = false;
  std::string previous;
  for (std::string line; std::getline(in, line); previous = line) {
    if (previous == ".B result" && line == "is") in_list = true;
    if (in_list && line.rfind(".SH", 0) == 0) break;
    if (!in_list || previous != ".TP" || line.rfind(".B ", 0) != 0) continue;
    std::string key = line.substr(3);
    for (size_t at; (at = key.find("\\-")) != std::string::npos;) key.erase(at, 1);
    keys.insert(key);
  }
  return keys;
}

TEST(ResultKeys, TheManualListsEveryKeyOfTheTable) {
  std::set<std::string> failures;
  for (const KeyRow& row : rows()) {
    if (std::string(row.key) != "ok") failures.insert(row.key);
  }
  EXPECT_EQ(failures.size() + 1, 49u);
  EXPECT_EQ(manual_keys(), failures);
}

}  // namespace
}  // namespace sim
