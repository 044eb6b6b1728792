#ifndef TOOLS_OPERATORTEXT_H
#define TOOLS_OPERATORTEXT_H

#include <string>

// The program's words for result codes and for the record library's log
// lines: what happened in plain words, the code in brackets after it.
namespace OperatorText {

// "no space left [-713]".
std::string result(int code);

// A log line of the record library as the cause of a stalled job, in words,
// with the code it stands for in brackets when one is known:
//   "every backup directory is full"  -> "every backup disk is full ... [-703]"
//   ".../x.ts: write failed (no space left)" -> "... (no space left) [-713]"
std::string logCause(const std::string& category, const std::string& message);

// "2m05s", "41s", "1h02m".
std::string duration(double seconds);

}  // namespace OperatorText

#endif  // TOOLS_OPERATORTEXT_H
