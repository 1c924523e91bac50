#include "record/outcome.h"

namespace travek {

const char* outcome_key(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
      return "ok";
    case Outcome::kInvalidPort:
      return "invalid-port";
    case Outcome::kBadOffset:
      return "bad-offset";
    case Outcome::kBadAddress:
      return "bad-address";
    case Outcome::kInvalidSwitch:
      return "invalid-switch";
    case Outcome::kInvalidFormat:
      return "invalid-format";
    case Outcome::kSwitchNotApplicable:
      return "switch-not-applicable";
    case Outcome::kFileOpenError:
      return "file-open-error";
    case Outcome::kNoFileName:
      return "no-file-name";
    case Outcome::kLogOpenError:
      return "log-open-error";
    case Outcome::kPortUnavailable:
      return "port-unavailable";
    case Outcome::kOffsetNotBelowSize:
      return "offset-not-below-size";
    case Outcome::kBadLoadSize:
      return "bad-load-size";
    case Outcome::kFileReadError:
      return "file-read-error";
    case Outcome::kFormatError:
      return "format-error";
    case Outcome::kBadResidentCode:
      return "bad-resident-code";
    case Outcome::kBadResidentCrc:
      return "bad-resident-crc";
    case Outcome::kCancelled:
      return "cancelled";
    case Outcome::kStationNoResponse:
      return "station-no-response";
    case Outcome::kResidentCommError:
      return "resident-comm-error";
    case Outcome::kHandshakeSilent:
      return "handshake-silent";
    case Outcome::kHandshakeBadAnswer:
      return "handshake-bad-answer";
    case Outcome::kNoPacket:
      return "no-packet";
    case Outcome::kNotPacket:
      return "not-packet";
    case Outcome::kPacketFailure:
      return "packet-failure";
    case Outcome::kChipMissing:
      return "chip-missing";
    case Outcome::kChipsDiffer:
      return "chips-differ";
    case Outcome::kStartOutsideFlash:
      return "start-outside-flash";
    case Outcome::kStartNotSectorStart:
      return "start-not-sector-start";
    case Outcome::kFileTooLarge:
      return "file-too-large";
    case Outcome::kSectorSizeConflict:
      return "sector-size-conflict";
    case Outcome::kResidentNotInviting:
      return "resident-not-inviting";
    case Outcome::kFlashWriteError:
      return "flash-write-error";
    case Outcome::kFlashCommError:
      return "flash-comm-error";
    case Outcome::kTerminated:
      return "terminated";
    case Outcome::kLogWriteError:
      return "log-write-error";
    case Outcome::kAborted:
      return "aborted";
  }
  return "unknown";
}

}  // namespace travek
