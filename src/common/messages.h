// Every text the flasher writes, in one place so that each can be checked
// word for word. Texts are UTF-8, as the source is; a Windows console gets
// them as code page 866, converted where they are written. "Line" texts are
// written with one newline added (con_line); the others as they stand.
// Where a format is used, its conversions are checked against the
// arguments given (common/text_format.h).
#pragma once

#include <cstdint>

namespace travek::msg {

// Short status words shared by several messages.
inline constexpr char kOk[] = "Ok!";
inline constexpr char kBad[] = "Bad!";
inline constexpr char kFlash[] = "FLASH";
inline constexpr char kType[] = "Тип ";

// Run driver.
inline constexpr char kBanner[] = "\n\"TRAVEK\", WIN32 Console version 1.03";
inline constexpr char kUsage[] =
    "\nФормат: Travek32.exe [-o:xxx] [-a:yyy] [-s] [-com#] имя_файла\n"
    "  где: xxx - смещение от начала файла\n"
    "       yyy - адрес, начиная с которого писать\n";
inline constexpr char kInvalidPort[] = "\nНедопустимый порт: %s\n\n";
// %s the text after "-o:"
inline constexpr char kOffsetError[] = "\nОшибка при вводе смещения: %s\n\n";
// %s the text after "-a:"
inline constexpr char kAddressError[] = "\nОшибка при вводе адреса: %s\n\n";
inline constexpr char kInvalidSwitch[] = "\nНедопустимый ключ: %s\n\n";
inline constexpr char kFileOpenError[] = "\nОшибка открытия файла: \"%s\"\n\n";
inline constexpr char kNoFileName[] = "\nНе определено имя файла!\n\n";
inline constexpr char kPortUnavailable[] =
    "\nНедоступен или неисправен порт: %s\n- возможно захвачен другой программой\n";
inline constexpr char kOffsetNotBelowSize[] = "\nСмещение больше или равно длине файла!\n";
inline constexpr char kBadLoadSize[] = "\nПлохой размер загружаемой части файла!\n";
inline constexpr char kFileReadError[] = "\nОшибка чтения файла!\n";
inline constexpr char kPressKeyToExit[] = "\nPress a key to exit\n";

// The run log and image files as toolchains write them.
inline constexpr char kLogOpenError[] = "\nОшибка открытия журнала: \"%s\"\n\n";
inline constexpr char kInvalidFormat[] = "\nНедопустимый формат файла: %s\n\n";
// %s the switch's prefix as typed, %s the format
inline constexpr char kSwitchNotApplicable[] = "\nКлюч %s неприменим к файлу %s\n\n";
inline constexpr char kIntelHexName[] = "Intel HEX";
inline constexpr char kSrecordName[] = "Motorola S-record";
// %u the line, %s one of the reasons below
inline constexpr char kFormatError[] = "\nОшибка формата файла, строка %u: %s\n";
inline constexpr char kFormatBadRecord[] = "неверная запись";
inline constexpr char kFormatBadChecksum[] = "неверная контрольная сумма";
inline constexpr char kFormatUnknownType[] = "неизвестный тип записи";
inline constexpr char kFormatAddressOutside[] = "адрес за пределами 1 Мб";
inline constexpr char kFormatAddressTwice[] = "данные по этому адресу уже заданы";
inline constexpr char kFormatBadCount[] = "неверное число записей";
inline constexpr char kFormatNoEndRecord[] = "нет записи конца файла";

// Resident image, start detection, resident transfer.
inline constexpr char kBadResidentCode[] = "\nПлохой код резидента\n";
inline constexpr char kBadResidentCrc[] = "\nПлохая CRC резидента\n";
inline constexpr char kWaitingForStart[] =
    "\nПорт %s: Ожидание СТАРТА станции, (\"Esc\"- выход)\n\n";
// %s "Ok!", %s the clock class ("10mHz", "12mHz", "11mHz")
inline constexpr char kClockLine[] = "%s FQ: %s\n";
inline constexpr char kNotOurClient[] = "Принято: %#.2x - не наш клиент!\n";
inline constexpr char kCancelledByOperator[] = "\n\nЗагрузка отменена оператором";
inline constexpr char kSendingResident[] = "Засылаем резидента...";
inline constexpr char kResidentTime[] = " T= %u ms, Резидент: ";
inline constexpr char kHandshakeSilent[] = "молчит!\n\n";
inline constexpr char kHandshakeBadAnswer[] = "плохой ответ!\n\n";
inline constexpr char kStarted[] = "Старт - %s\n";
inline constexpr char kStationNoResponse[] = "\nСтанция не отвечает!\n";
inline constexpr char kCommErrorLoading[] = "\nОшибка связи при загрузке ";
inline constexpr char kResidentCommError[] = "%sрезидента!\n\n";
inline constexpr char kFlashCommError[] = "%s%s!\n\n";

// Station information and flash geometry.
inline constexpr char kNoPacket[] = "\nНет пакета!\n";
inline constexpr char kNotPacket[] = "\nНе пакет!\n";
inline constexpr char kPacketFailure[] = "\nСбой при приеме пакета!\n";
inline constexpr char kStationClass[] = "\nСтанция класса:    %s\n";
inline constexpr char kChip0Label[] = "%s%s_0:       ";
inline constexpr char kChip1Label[] = "%s%s_1:       ";
inline constexpr char kChipsDiffer[] = "%s_0 и %s_1 не одинаковы!\n\n";
inline constexpr char kTotalSize[] = "Общий объем %s: %lu Кб (%lu байт)\n";
inline constexpr char kDataSize[] = "Объем загружаемых данных:  %lu байт\n\n";
inline constexpr char kStartAddressPrefix[] = "\nНачальный адрес загрузки ";
inline constexpr char kStartOutsideFlash[] = "%sза пределами %s!\n\n";
inline constexpr char kStartNotSectorStart[] = "%sне в начале сектора!\n\n";
inline constexpr char kFileTooLarge[] = "\nФайл слишком большой!\n";
inline constexpr char kSectorSizeConflict[] = "\nКонфликт с размером сектора!\n";

// Reports, progress and the end of a load.
inline constexpr char kResidentNotInviting[] = "\nРезидент не приглашает!\n";
inline constexpr char kFlashWriteError[] = "\nОшибка записи %s!\n\n";
inline constexpr char kLoadingLine[] = "Загрузка %s:   0%%\b";
inline constexpr char kPercent[] = "\b\b\b%3u";
inline constexpr char kLoadTime[] = "  T= %u ms\n\n";
inline constexpr char kJumperReminder[] =
    "НЕ ЗАБУДЬТЕ СНЯТЬ ПЕРЕМЫЧКУ... (\"Enter\"-продолжить, \"Esc\"-выход)\n\n";
inline constexpr char kRestartAttempt[] = "Попытка рестарта станции... ";

// Station serial numbers (-n:).
inline constexpr char kNumbersNotWithSendOnly[] = "\nКлюч -n: неприменим с ключом -s\n\n";
// %u the line, %s one of the reasons below
inline constexpr char kNumbersFileError[] = "\nОшибка в файле номеров, строка %u: %s\n";
inline constexpr char kNumbersUnknownKey[] = "неизвестный ключ";
inline constexpr char kNumbersKeyTwice[] = "ключ задан дважды";
inline constexpr char kNumbersBadValue[] = "неверное значение";
inline constexpr char kNumbersMissingKey[] = "\nВ файле номеров не задан ключ %s\n";
inline constexpr char kNumbersOpenError[] = "\nОшибка открытия файла номеров: \"%s\"\n\n";
inline constexpr char kNumberOutsideData[] = "\nНомер станции за пределами загружаемых данных!\n";
inline constexpr char kNumbersExhausted[] = "\nНомера станций исчерпаны!\n";
inline constexpr char kNumbersWriteError[] = "\nОшибка записи файла номеров!\n";
inline constexpr char kNumberCommandFailed[] = "\nКоманда не дала номер станции!\n";
// %s the number in decimal
inline constexpr char kNumberTooLarge[] = "\nНомер станции %s не помещается в поле!\n";
// %s the number in decimal, %s its fields' lines (kStationField each)
inline constexpr char kStationNumber[] = "Номер станции:     %s\n%s\n";
// %s the field's name, %s its value as shown
inline constexpr char kStationField[] = "Поле %s: %s\n";
// A list field's value is never shown: its line is. %u the line
inline constexpr char kListLine[] = "строка %u";
inline constexpr char kFieldOutsideData[] = "\nПоле %s за пределами загружаемых данных!\n";
inline constexpr char kFieldExhausted[] = "\nИсчерпано поле %s!\n";
// %s the list as NAME.list writes it, %u its line
inline constexpr char kListError[] = "\nОшибка в списке %s, строка %u\n";

// Runs of many stations: the view, the plain lines, the summary.
inline constexpr char kNextBatch[] = "\nСледующая партия: \"Enter\"-начать, \"Esc\"-выход\n";
// %u stations ended well, %u failed
inline constexpr char kSummary[] = "\nИтого: успешно %u, с ошибкой %u\n";
// %s the port, %s its text
inline constexpr char kPortLine[] = "%s: %s\n";
inline constexpr char kStageWaiting[] = "ожидание старта";
inline constexpr char kStageResident[] = "резидент";
inline constexpr char kStageLoading[] = "загрузка %3u%%";
inline constexpr char kStageJumper[] = "перемычка";
inline constexpr char kStageDone[] = "готово";
// The failure's own message follows at the end of the line.
inline constexpr char kStageFailed[] = "ошибка";
inline constexpr char kViewSeconds[] = "%3u с";
// %s the station's serial number
inline constexpr char kViewNumber[] = "№ %s";
// %u sectors reported with a warning
inline constexpr char kViewWarnings[] = "предупреждений: %u";
// %s the port, %u its sectors reported with a warning
inline constexpr char kPortWarnings[] = "%s: секторов с предупреждением: %u\n";
// A load's last plain line when sectors had a warning: %u the load time,
// %u those sectors.
inline constexpr char kLoadedWithWarnings[] =
    "загрузка FLASH: 100%%, T= %u ms, секторов с предупреждением: %u";
inline constexpr char kRestartedOk[] = "рестарт станции: Ok!";
inline constexpr char kRestartedBad[] = "рестарт станции: Bad!";
inline constexpr char kNoRestart[] = "без рестарта";
inline constexpr char kChildSignalled[] = "процесс станции прерван сигналом %d";
inline constexpr char kChildExited[] = "процесс станции завершился с кодом %d без итога";
inline constexpr char kChildNotStarted[] = "процесс станции не запущен";

// The unattended line (-auto): the switch, the view's stages, counts and
// the summary.
// %s the switch it cannot go with, as typed
inline constexpr char kAutoNotWith[] = "\nКлюч -auto неприменим с ключом %s\n\n";
inline constexpr char kStageWaitingStation[] = "ожидание станции";
inline constexpr char kStageJumperSet[] = "перемычка не снята";
inline constexpr char kStagePortLost[] = "порт недоступен";
// %u stations ended well, %u failed, %s stations an hour ("412.5")
inline constexpr char kLineCounts[] = "Линия: успешно %u, с ошибкой %u, станций в час: %s";
inline constexpr char kPortCounts[] = "успешно %u, с ошибкой %u";
// %u stations still running
inline constexpr char kLineStopping[] = "Завершение: ждём окончания %u станций";
inline constexpr char kLineSummary[] = "\nИтого: успешно %u, с ошибкой %u, станций в час: %s\n";
// %s the port, %u, %u its counts
inline constexpr char kPortSummary[] = "%s: успешно %u, с ошибкой %u\n";
// %s the port, %s a failure's message, %u how often it came
inline constexpr char kPortFailure[] = "%s: %s (%u)\n";

// Production jobs (-job:).
// %s the argument as typed
inline constexpr char kJobSwitchRefused[] = "\nКлюч %s неприменим с заданием\n\n";
// %u the line, %s one of the numbers file's reasons
inline constexpr char kJobFileError[] = "\nОшибка в файле задания, строка %u: %s\n";
inline constexpr char kJobMissingKey[] = "\nВ файле задания не задан ключ %s\n";
inline constexpr char kJobOpenError[] = "\nОшибка открытия файла задания: \"%s\"\n\n";
inline constexpr char kJobImageMismatch[] = "\nОбраз не совпадает с заданием!\n";
// %s the job's name
inline constexpr char kJobName[] = "Задание: %s\n";
// %s the image as the job file writes it, %s its SHA-256 (its first 12 digits shown)
inline constexpr char kJobImage[] = "Образ: %s, SHA-256 %.12s\n";

// Station class names by class code (flags bits 2-3).
inline constexpr const char* kStationClassNames[4] = {"KT20", "KT57/83", "DV20R", "DP57"};

// Flash chips by id; the search stops at the first matching or all-zero id.
struct ChipName {
  uint8_t manufacturer;
  uint8_t device;
  char name[12];  // 11 characters padded with spaces, then a zero byte
};
inline constexpr ChipName kChipTable[] = {
    {0x1F, 0xD5, "AT29C010   "}, {0x1F, 0xDA, "AT29C020   "}, {0x1F, 0xA4, "AT29C040   "},
    {0xBF, 0x07, "SST29EE010 "}, {0xBF, 0x10, "SST29EE020 "}, {0xDA, 0xC1, "W29EE011   "},
    {0xDA, 0x45, "W29C020(C) "}, {0x00, 0x00, "UNKNOWN    "},
};

// Operating-system reasons, written in English to standard error. The first
// %s is the subject (a port, a file), the second the system's reason.
inline constexpr char kDiagPrefix[] = "travek32: ";
inline constexpr char kDiagReason[] = "%s: %s";
// A reason that names its subject itself.
inline constexpr char kDiagLine[] = "%s";
inline constexpr char kDiagHeldByOther[] = "%s: Device or resource busy (held by another program)";
inline constexpr char kDiagNoPermission[] = "%s: %s (is the user in the dialout group?)";
inline constexpr char kDiagNotSerial[] = "%s: Not a serial device";
inline constexpr char kDiagNoSuchPort[] = "%s: %s (serial ports here: %s)";
inline constexpr char kDiagNoPortsHere[] = "%s: %s (no serial ports here)";
inline constexpr char kDiagGone[] = "%s: the device has gone away";
inline constexpr char kDiagNotRegular[] = "%s: not a regular file";
// %s the image, %s its SHA-256, %s the job's
inline constexpr char kDiagJobImage[] = "%s: SHA-256 %s, but the job pins %s";

// Network ports (rfc2217://HOST:PORT). The third %s of kDiagNetSaying is
// what the server sent; kDiagNetSetting gives the setting, then the value
// answered and the one asked.
inline constexpr char kDiagNetName[] = "%s: not a network port name (rfc2217://HOST:PORT)";
inline constexpr char kDiagNetSaying[] = "%s: %s, saying \"%s\"";
inline constexpr char kDiagNetSilent[] = "%s: no RFC 2217 negotiation within 5 s";
inline constexpr char kDiagNetRefused[] = "%s: the server refused the Telnet %s option";
inline constexpr char kDiagNetSetting[] = "%s: the server set %s to %u, not %u";
inline constexpr char kDiagNetUnanswered[] = "%s: the server did not answer %s within 5 s";
// Reasons.
inline constexpr char kNetClosed[] = "the server closed the connection";
inline constexpr char kNetMalformed[] = "a malformed RFC 2217 message from the server";
inline constexpr char kNetTimedOut[] = "Connection timed out";

}  // namespace travek::msg
