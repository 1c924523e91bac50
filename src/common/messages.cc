#include "common/messages.h"

namespace travek::msg {

const char kOk[] = "Ok!";
const char kBad[] = "Bad!";
const char kFlash[] = "FLASH";
const char kType[] = "Тип ";

const char kBanner[] = "\n\"TRAVEK\", WIN32 Console version 1.03";
const char kUsage[] =
    "\nФормат: Travek32.exe [-o:xxx] [-a:yyy] [-s] [-com#] имя_файла\n"
    "  где: xxx - смещение от начала файла\n"
    "       yyy - адрес, начиная с которого писать\n";
const char kInvalidPort[] = "\nНедопустимый порт: %s\n\n";
const char kInputError[] = "\nОшибка при вводе ";
const char kOffsetError[] = "%sсмещения: %s\n\n";
const char kAddressError[] = "%sадреса: %s\n\n";
const char kInvalidSwitch[] = "\nНедопустимый ключ: %s\n\n";
const char kFileOpenError[] = "\nОшибка открытия файла: \"%s\"\n\n";
const char kNoFileName[] = "\nНе определено имя файла!\n\n";
const char kPortUnavailable[] =
    "\nНедоступен или неисправен порт: %s\n- возможно захвачен другой программой\n";
const char kOffsetNotBelowSize[] = "\nСмещение больше или равно длине файла!\n";
const char kBadLoadSize[] = "\nПлохой размер загружаемой части файла!\n";
const char kFileReadError[] = "\nОшибка чтения файла!\n";
const char kPressKeyToExit[] = "\nPress a key to exit\n";

const char kLogOpenError[] = "\nОшибка открытия журнала: \"%s\"\n\n";
const char kInvalidFormat[] = "\nНедопустимый формат файла: %s\n\n";
const char kSwitchNotApplicable[] = "\nКлюч %s неприменим к файлу %s\n\n";
const char kIntelHexName[] = "Intel HEX";
const char kSrecordName[] = "Motorola S-record";
const char kFormatError[] = "\nОшибка формата файла, строка %u: %s\n";
const char kFormatBadRecord[] = "неверная запись";
const char kFormatBadChecksum[] = "неверная контрольная сумма";
const char kFormatUnknownType[] = "неизвестный тип записи";
const char kFormatAddressOutside[] = "адрес за пределами 1 Мб";
const char kFormatAddressTwice[] = "данные по этому адресу уже заданы";
const char kFormatBadCount[] = "неверное число записей";
const char kFormatNoEndRecord[] = "нет записи конца файла";

const char kBadResidentCode[] = "\nПлохой код резидента\n";
const char kBadResidentCrc[] = "\nПлохая CRC резидента\n";
const char kWaitingForStart[] = "\nПорт %s: Ожидание СТАРТА станции, (\"Esc\"- выход)\n\n";
const char kClock10MHz[] = "%s FQ: 10mHz\n";
const char kClock12MHz[] = "%s FQ: 12mHz\n";
const char kClock11MHz[] = "%s FQ: 11mHz\n";
const char kNotOurClient[] = "Принято: %#.2x - не наш клиент!\n";
const char kCancelledByOperator[] = "\n\nЗагрузка отменена оператором";
const char kSendingResident[] = "Засылаем резидента...";
const char kResidentTime[] = " T= %u ms, Резидент: ";
const char kHandshakeSilent[] = "молчит!\n\n";
const char kHandshakeBadAnswer[] = "плохой ответ!\n\n";
const char kStarted[] = "Старт - %s\n";
const char kStationNoResponse[] = "\nСтанция не отвечает!\n";
const char kCommErrorLoading[] = "\nОшибка связи при загрузке ";
const char kResidentCommError[] = "%sрезидента!\n\n";
const char kFlashCommError[] = "%s%s!\n\n";

const char kNoPacket[] = "\nНет пакета!\n";
const char kNotPacket[] = "\nНе пакет!\n";
const char kPacketFailure[] = "\nСбой при приеме пакета!\n";
const char kStationClass[] = "\nСтанция класса:    %s\n";
const char kChip0Label[] = "%s%s_0:       ";
const char kChip1Label[] = "%s%s_1:       ";
const char kChipsDiffer[] = "%s_0 и %s_1 не одинаковы!\n\n";
const char kTotalSize[] = "Общий объем %s: %lu Кб (%lu байт)\n";
const char kDataSize[] = "Объем загружаемых данных:  %lu байт\n\n";
const char kStartAddressPrefix[] = "\nНачальный адрес загрузки ";
const char kStartOutsideFlash[] = "%sза пределами %s!\n\n";
const char kStartNotSectorStart[] = "%sне в начале сектора!\n\n";
const char kFileTooLarge[] = "\nФайл слишком большой!\n";
const char kSectorSizeConflict[] = "\nКонфликт с размером сектора!\n";

const char kResidentNotInviting[] = "\nРезидент не приглашает!\n";
const char kFlashWriteError[] = "\nОшибка записи %s!\n\n";
const char kLoadingLine[] = "Загрузка %s:   0%%\b";
const char kPercent[] = "\b\b\b%3u";
const char kLoadTime[] = "  T= %u ms\n\n";
const char kJumperReminder[] =
    "НЕ ЗАБУДЬТЕ СНЯТЬ ПЕРЕМЫЧКУ... (\"Enter\"-продолжить, \"Esc\"-выход)\n";
const char kRestartAttempt[] = "Попытка рестарта станции... ";

const char kNextBatch[] = "\nСледующая партия: \"Enter\"-начать, \"Esc\"-выход\n";
const char kSummary[] = "\nИтого: успешно %u, с ошибкой %u\n";
const char kPortLine[] = "%s: %s\n";
const char kStageWaiting[] = "ожидание старта";
const char kStageResident[] = "резидент";
const char kStageLoading[] = "загрузка %3u%%";
const char kStageJumper[] = "перемычка";
const char kStageDone[] = "готово";
const char kViewSeconds[] = "%3u с";
const char kEventStray[] = "принято: %#.2x - не наш клиент!";
const char kEventClock[] = "FQ: %s";
const char kEventResident[] = "резидент: старт - Ok!, T= %u ms";
const char kEventStation[] = "станция класса %s, FLASH %lu Кб";
const char kEventWarning[] = "предупреждение: сектор %u";
const char kEventLoaded[] = "загрузка FLASH: 100%%, T= %u ms";
const char kEventRestarted[] = "рестарт станции: Ok!";
const char kEventRestartSilent[] = "рестарт станции: Bad!";
const char kEventRestartDeclined[] = "без рестарта";
const char kChildSignalled[] = "процесс станции прерван сигналом %d";
const char kChildExited[] = "процесс станции завершился с кодом %d без итога";
const char kChildNotStarted[] = "процесс станции не запущен";

const char* const kStationClassNames[4] = {"KT20", "KT57/83", "DV20R", "DP57"};

const ChipName kChipTable[] = {
    {0x1F, 0xD5, "AT29C010   "}, {0x1F, 0xDA, "AT29C020   "}, {0x1F, 0xA4, "AT29C040   "},
    {0xBF, 0x07, "SST29EE010 "}, {0xBF, 0x10, "SST29EE020 "}, {0xDA, 0xC1, "W29EE011   "},
    {0xDA, 0x45, "W29C020(C) "}, {0x00, 0x00, "UNKNOWN    "},
};

const char kDiagPrefix[] = "travek32: ";
const char kDiagReason[] = "%s: %s";
const char kDiagHeldByOther[] = "%s: Device or resource busy (held by another program)";
const char kDiagNoPermission[] = "%s: %s (is the user in the dialout group?)";
const char kDiagNotSerial[] = "%s: Not a serial device";
const char kDiagNoSuchPort[] = "%s: %s (serial ports here: %s)";
const char kDiagNoPortsHere[] = "%s: %s (no serial ports here)";
const char kDiagGone[] = "%s: the device has gone away";
const char kDiagNotRegular[] = "%s: not a regular file";

// ---- Network ports (rfc2217://HOST:PORT) ----
const char kDiagNetName[] = "%s: not a network port name (rfc2217://HOST:PORT)";
const char kDiagNetSaying[] = "%s: %s, saying \"%s\"";
const char kDiagNetSilent[] = "%s: no RFC 2217 negotiation within 5 s";
const char kDiagNetRefused[] = "%s: the server refused the Telnet %s option";
const char kDiagNetSetting[] = "%s: the server set %s to %u, not %u";
const char kDiagNetUnanswered[] = "%s: the server did not answer %s within 5 s";
const char kNetClosed[] = "the server closed the connection";
const char kNetMalformed[] = "a malformed RFC 2217 message from the server";
const char kNetTimedOut[] = "Connection timed out";
// ---- end of network ports ----

}  // namespace travek::msg
