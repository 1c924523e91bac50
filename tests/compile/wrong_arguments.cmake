# Proves that the compiler refuses a message given the wrong arguments, an
# unknown outcome, field or event: each case is compiled alone and must fail
# with the check that names it, and the sound cases must build.
#   cmake -DCOMPILER=<c++> -DSOURCE=<repo>/src -DWORK=<dir> -P wrong_arguments.cmake

set(prelude [=[
#include "common/messages.h"
#include "console/console.h"
#include "record/event_schema.h"
#include "record/run_record.h"
#include "run/fail.h"
using namespace travek;
void probe(RunRecord& r, char* text, unsigned u, int i, unsigned long lu) {
  (void)r; (void)text; (void)u; (void)i; (void)lu;
]=])

# Each case: what the compiler must say (empty: it must build), then the code.
set(cases
  "|con_printf(msg::kPercent, u)\; con_printf(msg::kTotalSize, msg::kFlash, lu, lu)\;\
   fail(\"format-error\", u, \"x\")\; fail(\"invalid-port\", UserText{text})\;\
   con_diagnostic(msg::kDiagReason, text, \"x\")\; (void)field(\"percent\")\; (void)event(\"clock\")\;\
   report(r, \"clock\", msg::kOk, \"10mHz\", u)\; report(r, \"waiting\", TypedText{text})\;"
  "format_argument_mismatch|con_printf(msg::kPercent, i)\;"
  "format_argument_mismatch|con_printf(msg::kPercent)\;"
  "format_argument_mismatch|con_printf(msg::kPercent, u, u)\;"
  "format_argument_mismatch|con_printf(msg::kTotalSize, msg::kFlash, u, u)\;"
  "format_argument_mismatch|fail(\"format-error\", \"x\", u)\;"
  "format_argument_mismatch|fail(\"no-packet\", u)\;"
  "format_argument_mismatch|con_diagnostic(msg::kDiagReason, text)\;"
  "a diagnostic names its subject as plain text|con_diagnostic(msg::kDiagReason, UserText{text}, text)\;"
  "report_values_mismatch|report(r, \"clock\", \"10mHz\", u)\;"
  "report_values_mismatch|report(r, \"stray\", text)\;"
  "report_values_mismatch|report(r, \"waiting\", u)\;"
  "no_such_outcome|fail(\"no-such-failure\")\;"
  "no_such_field|(void)field(\"percnt\")\;"
  "no_such_event|(void)event(\"clok\")\;")

set(failed "")
set(n 0)
foreach(entry IN LISTS cases)
  string(FIND "${entry}" "|" bar)
  string(SUBSTRING "${entry}" 0 ${bar} expected)
  math(EXPR start "${bar} + 1")
  string(SUBSTRING "${entry}" ${start} -1 code)
  math(EXPR n "${n} + 1")
  set(file "${WORK}/case${n}.cc")
  file(WRITE "${file}" "${prelude}  ${code}\n}\n")
  execute_process(COMMAND ${COMPILER} -std=c++20 -fsyntax-only -I${SOURCE} ${file}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expected STREQUAL "")
    if(NOT result EQUAL 0)
      list(APPEND failed "case ${n} should build: ${code}\n${out}")
    endif()
  elseif(result EQUAL 0)
    list(APPEND failed "case ${n} built, but must not: ${code}")
  elseif(NOT out MATCHES "${expected}")
    list(APPEND failed "case ${n} failed without naming ${expected}: ${code}\n${out}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "${COMPILER}:\n${failed}")
endif()
message(STATUS "${COMPILER}: ${n} cases as expected")
