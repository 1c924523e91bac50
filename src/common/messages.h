// Every text the flasher writes, in one place so that each can be checked
// word for word. The source is UTF-8; the Windows build compiles messages.cc
// with the console code page 866 as its execution character set, so the same
// definitions give code page 866 bytes there. "Line" texts are written with
// one newline added (con_line); the others are written as they stand.
#pragma once

#include <cstdint>

namespace travek::msg {

// Short status words shared by several messages.
extern const char kOk[];
extern const char kBad[];
extern const char kFlash[];
extern const char kType[];

// Run driver.
extern const char kBanner[];              // line
extern const char kUsage[];               // line
extern const char kInvalidPort[];         // %s: the argument
extern const char kInputError[];          // first %s of the two below
extern const char kOffsetError[];         // %s kInputError, %s the text after "-o:"
extern const char kAddressError[];        // %s kInputError, %s the text after "-a:"
extern const char kInvalidSwitch[];       // %s: the argument
extern const char kFileOpenError[];       // %s: the file name
extern const char kNoFileName[];          // line
extern const char kPortUnavailable[];     // %s: the port name
extern const char kOffsetNotBelowSize[];  // line
extern const char kBadLoadSize[];         // line
extern const char kFileReadError[];       // line
extern const char kPressKeyToExit[];      // line

// The run log and image files as toolchains write them.
extern const char kLogOpenError[];         // %s: the log's name
extern const char kInvalidFormat[];        // %s: the text after "-f:"
extern const char kSwitchNotApplicable[];  // %s the switch's prefix as typed, %s the format
extern const char kIntelHexName[];
extern const char kSrecordName[];
extern const char kFormatError[];  // %u: the line, %s: one of the reasons below
extern const char kFormatBadRecord[];
extern const char kFormatBadChecksum[];
extern const char kFormatUnknownType[];
extern const char kFormatAddressOutside[];
extern const char kFormatAddressTwice[];
extern const char kFormatBadCount[];
extern const char kFormatNoEndRecord[];

// Resident image, start detection, resident transfer.
extern const char kBadResidentCode[];      // line
extern const char kBadResidentCrc[];       // line
extern const char kWaitingForStart[];      // %s: the port name
extern const char kClock10MHz[];           // %s kOk
extern const char kClock12MHz[];           // %s kOk
extern const char kClock11MHz[];           // %s kOk
extern const char kNotOurClient[];         // %#.2x: the byte
extern const char kCancelledByOperator[];  // line
extern const char kSendingResident[];
extern const char kResidentTime[];  // %u: milliseconds
extern const char kHandshakeSilent[];
extern const char kHandshakeBadAnswer[];
extern const char kStarted[];            // %s kOk
extern const char kStationNoResponse[];  // line
extern const char kCommErrorLoading[];   // first %s of the two below
extern const char kResidentCommError[];  // %s kCommErrorLoading
extern const char kFlashCommError[];     // %s kCommErrorLoading, %s kFlash

// Station information and flash geometry.
extern const char kNoPacket[];             // line
extern const char kNotPacket[];            // line
extern const char kPacketFailure[];        // line
extern const char kStationClass[];         // %s: class name
extern const char kChip0Label[];           // %s kType, %s kFlash
extern const char kChip1Label[];           // %s kType, %s kFlash
extern const char kChipsDiffer[];          // %s kFlash twice
extern const char kTotalSize[];            // %s kFlash, %lu KB, %lu bytes
extern const char kDataSize[];             // %lu bytes
extern const char kStartAddressPrefix[];   // first %s of the two below
extern const char kStartOutsideFlash[];    // %s kStartAddressPrefix, %s kFlash
extern const char kStartNotSectorStart[];  // %s kStartAddressPrefix
extern const char kFileTooLarge[];         // line
extern const char kSectorSizeConflict[];   // line

// Reports, progress and the end of a load.
extern const char kResidentNotInviting[];  // line
extern const char kFlashWriteError[];      // %s kFlash
extern const char kLoadingLine[];          // %s kFlash
extern const char kPercent[];              // %3u
extern const char kLoadTime[];             // %u: milliseconds
extern const char kJumperReminder[];       // line
extern const char kRestartAttempt[];

// Runs of many stations: the view, the plain lines, the summary.
extern const char kNextBatch[];
extern const char kSummary[];   // %u stations ended well, %u failed
extern const char kPortLine[];  // %s the port, %s its text
extern const char kStageWaiting[];
extern const char kStageResident[];
extern const char kStageLoading[];  // %3u: percent
extern const char kStageJumper[];
extern const char kStageDone[];
extern const char kViewSeconds[];    // %u: seconds since the port's start
extern const char kEventStray[];     // %#.2x: the byte
extern const char kEventClock[];     // %s: the clock class
extern const char kEventResident[];  // %u: milliseconds
extern const char kEventStation[];   // %s class, %lu KB
extern const char kEventWarning[];   // %u: the sector
extern const char kEventLoaded[];    // %u: milliseconds
extern const char kEventRestarted[];
extern const char kEventRestartSilent[];
extern const char kEventRestartDeclined[];
extern const char kChildSignalled[];  // %d: the signal
extern const char kChildExited[];     // %d: the exit status
extern const char kChildNotStarted[];

// Station class names by class code (flags bits 2-3).
extern const char* const kStationClassNames[4];

// Flash chips by id; the search stops at the first matching or all-zero id.
struct ChipName {
  uint8_t manufacturer;
  uint8_t device;
  char name[12];  // 11 characters padded with spaces, then a zero byte
};
extern const ChipName kChipTable[];

// Operating-system reasons, written in English to standard error.
extern const char kDiagPrefix[];        // "travek32: "
extern const char kDiagReason[];        // %s subject, %s reason
extern const char kDiagHeldByOther[];   // %s subject
extern const char kDiagNoPermission[];  // %s subject, %s reason
extern const char kDiagNotSerial[];     // %s subject
extern const char kDiagNoSuchPort[];    // %s subject, %s reason, %s the ports there are
extern const char kDiagNoPortsHere[];   // %s subject, %s reason
extern const char kDiagGone[];          // %s subject
extern const char kDiagNotRegular[];    // %s subject

// ---- Network ports (rfc2217://HOST:PORT) ----
extern const char kDiagNetName[];        // %s subject
extern const char kDiagNetSaying[];      // %s subject, %s reason, %s what the server sent
extern const char kDiagNetSilent[];      // %s subject
extern const char kDiagNetRefused[];     // %s subject, %s the Telnet option
extern const char kDiagNetSetting[];     // %s subject, %s the setting, %u answered, %u asked
extern const char kDiagNetUnanswered[];  // %s subject, %s the command
extern const char kNetClosed[];          // a reason: the far end closed the connection
extern const char kNetMalformed[];       // a reason: a message that breaks the protocol
extern const char kNetTimedOut[];        // a reason: no connection within the limit
// ---- end of network ports ----

}  // namespace travek::msg
