// How a run ended: one outcome for every way, each with the key that the run
// log and the event stream give it. A key, once given, keeps its meaning for
// ever: a new way to fail gets a new outcome and a new key.
#pragma once

namespace travek {

enum class Outcome {
  kOk,
  // The command line; only the event stream tells of these, since the log
  // is opened after the command line has been read.
  kInvalidPort,
  kBadOffset,
  kBadAddress,
  kInvalidSwitch,
  kInvalidFormat,
  kSwitchNotApplicable,
  kFileOpenError,
  kNoFileName,
  kLogOpenError,
  // The run driver and the file.
  kPortUnavailable,
  kOffsetNotBelowSize,
  kBadLoadSize,
  kFileReadError,
  kFormatError,
  // The resident and the wait for the station.
  kBadResidentCode,
  kBadResidentCrc,
  kCancelled,
  // The transfer and the handshake.
  kStationNoResponse,
  kResidentCommError,
  kHandshakeSilent,
  kHandshakeBadAnswer,
  // The station packet.
  kNoPacket,
  kNotPacket,
  kPacketFailure,
  // The geometry.
  kChipMissing,
  kChipsDiffer,
  kStartOutsideFlash,
  kStartNotSectorStart,
  kFileTooLarge,
  kSectorSizeConflict,
  // The stream.
  kResidentNotInviting,
  kFlashWriteError,
  kFlashCommError,
  // From outside: a termination request or a closed terminal.
  kTerminated,
  // The run log could not be written.
  kLogWriteError,
  // A station's run, in a run of many, that ended without telling how.
  kAborted,
};

// "ok", "no-packet", ...
const char* outcome_key(Outcome outcome);

}  // namespace travek
