#include "run/fail.h"

#include <cstdarg>

namespace travek {

void fail_unchecked(Outcome failure, ...) {
  const OutcomeRow& row = outcome_row(failure);
  va_list args;
  va_start(args, failure);
  std::string text = format_text_v(row.message, args);
  va_end(args);
  if (row.manner == Manner::kLine) text += '\n';
  con_write(text.c_str());
  throw RunFailure{failure, std::move(text)};
}

}  // namespace travek
