// How a run ended: one row per way in kOutcomes, with the key that the run
// log and the event stream give it, the message its failure writes on the
// console, and how that is written. An outcome is named by its key, and a
// key that is not in the table does not build. A key, once given, keeps its
// meaning for ever: a new way to fail is a new row with a new key.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/messages.h"

namespace travek {

// How a failure's message is written: as it stands, or as a line (the text
// and one newline more).
enum class Manner { kPlain, kLine };

struct OutcomeRow {
  const char* key;
  // The format the failure writes where it is found; empty for the outcomes
  // that no step of the run reports itself (their message comes with them).
  const char* message;
  Manner manner;
  // One key may have several messages: each row after the first names its
  // own, and is named "key:variant".
  const char* variant = "";
};

inline constexpr OutcomeRow kOutcomes[] = {
    {"ok", "", Manner::kPlain},
    // The command line; only the event stream tells of these, since the log
    // is opened after the command line has been read.
    {"invalid-port", msg::kInvalidPort, Manner::kPlain},
    {"bad-offset", msg::kOffsetError, Manner::kPlain},
    {"bad-address", msg::kAddressError, Manner::kPlain},
    {"invalid-switch", msg::kInvalidSwitch, Manner::kPlain},
    {"invalid-format", msg::kInvalidFormat, Manner::kPlain},
    {"switch-not-applicable", msg::kSwitchNotApplicable, Manner::kPlain},
    {"file-open-error", msg::kFileOpenError, Manner::kPlain},
    {"no-file-name", msg::kNoFileName, Manner::kLine},
    {"log-open-error", msg::kLogOpenError, Manner::kPlain},
    // The run driver and the file.
    {"port-unavailable", msg::kPortUnavailable, Manner::kPlain},
    {"offset-not-below-size", msg::kOffsetNotBelowSize, Manner::kLine},
    {"bad-load-size", msg::kBadLoadSize, Manner::kLine},
    {"file-read-error", msg::kFileReadError, Manner::kLine},
    {"format-error", msg::kFormatError, Manner::kPlain},
    // The resident and the wait for the station.
    {"bad-resident-code", msg::kBadResidentCode, Manner::kLine},
    {"bad-resident-crc", msg::kBadResidentCrc, Manner::kLine},
    {"cancelled", msg::kCancelledByOperator, Manner::kLine},
    // The transfer and the handshake.
    {"station-no-response", msg::kStationNoResponse, Manner::kLine},
    {"resident-comm-error", msg::kResidentCommError, Manner::kPlain},
    {"handshake-silent", msg::kHandshakeSilent, Manner::kPlain},
    {"handshake-bad-answer", msg::kHandshakeBadAnswer, Manner::kPlain},
    // The station packet.
    {"no-packet", msg::kNoPacket, Manner::kLine},
    {"not-packet", msg::kNotPacket, Manner::kLine},
    {"packet-failure", msg::kPacketFailure, Manner::kLine},
    // The geometry. A missing chip has no text of its own: the chip lines
    // as shown are its message.
    {"chip-missing", "%s", Manner::kPlain},
    {"chips-differ", msg::kChipsDiffer, Manner::kPlain},
    {"start-outside-flash", msg::kStartOutsideFlash, Manner::kPlain},
    {"start-not-sector-start", msg::kStartNotSectorStart, Manner::kPlain},
    {"file-too-large", msg::kFileTooLarge, Manner::kLine},
    {"sector-size-conflict", msg::kSectorSizeConflict, Manner::kLine},
    // The stream.
    {"resident-not-inviting", msg::kResidentNotInviting, Manner::kLine},
    {"flash-write-error", msg::kFlashWriteError, Manner::kPlain},
    {"flash-comm-error", msg::kFlashCommError, Manner::kPlain},
    // From outside: a termination request or a closed terminal; the message
    // is the signal's name.
    {"terminated", "", Manner::kPlain},
    // The run log could not be written; the message is its reason.
    {"log-write-error", "", Manner::kPlain},
    // A station's run, in a run of many, that ended without telling how; the
    // message is what became of its process.
    {"aborted", "", Manner::kPlain},
    // Station serial numbers: the switch, the numbers file, the field, the
    // counter and the command.
    {"switch-not-applicable", msg::kNumbersNotWithSendOnly, Manner::kPlain, "numbers"},
    {"switch-not-applicable", msg::kAutoNotWith, Manner::kPlain, "auto"},
    // Production jobs: the job file, a switch typed beside it, an image that
    // is not the one it pins.
    {"job-file-error", msg::kJobFileError, Manner::kPlain},
    {"job-file-error", msg::kJobMissingKey, Manner::kPlain, "missing"},
    {"job-file-error", msg::kJobOpenError, Manner::kPlain, "open"},
    {"job-switch-refused", msg::kJobSwitchRefused, Manner::kPlain},
    {"job-image-mismatch", msg::kJobImageMismatch, Manner::kPlain},
    {"numbers-file-error", msg::kNumbersFileError, Manner::kPlain},
    {"numbers-file-error", msg::kNumbersMissingKey, Manner::kPlain, "missing"},
    {"numbers-file-error", msg::kNumbersOpenError, Manner::kPlain, "open"},
    {"number-outside-data", msg::kNumberOutsideData, Manner::kLine},
    {"numbers-exhausted", msg::kNumbersExhausted, Manner::kLine},
    {"number-too-large", msg::kNumberTooLarge, Manner::kPlain},
    {"numbers-write-error", msg::kNumbersWriteError, Manner::kPlain},
    {"number-command-failed", msg::kNumberCommandFailed, Manner::kPlain},
    // A station's fields beside its number.
    {"field-outside-data", msg::kFieldOutsideData, Manner::kLine},
    {"field-exhausted", msg::kFieldExhausted, Manner::kLine},
    {"list-error", msg::kListError, Manner::kLine},
};
inline constexpr size_t kOutcomeCount = sizeof(kOutcomes) / sizeof(kOutcomes[0]);

// An outcome: its row of kOutcomes.
struct Outcome {
  size_t row;
  friend constexpr bool operator==(Outcome, Outcome) = default;
};

// Not constexpr: reaching it while naming an outcome stops the build.
inline void no_such_outcome() {}

// The outcome with this key, or "key:variant".
consteval Outcome outcome(std::string_view name) {
  const size_t colon = name.find(':');
  const std::string_view key = name.substr(0, colon);
  const std::string_view variant = colon == name.npos ? "" : name.substr(colon + 1);
  for (size_t i = 0; i < kOutcomeCount; ++i) {
    const OutcomeRow& row = kOutcomes[i];
    if (key == row.key && variant == row.variant) return {i};
  }
  no_such_outcome();
  return Outcome{0};
}

constexpr const OutcomeRow& outcome_row(Outcome outcome) { return kOutcomes[outcome.row]; }

constexpr const char* outcome_key(Outcome outcome) { return outcome_row(outcome).key; }

}  // namespace travek
