// CHECK_RETURN(condition, failure): when `condition` is false, writes one WARN
// line naming the condition's source text, this source file and the line, and
// returns `failure` from the enclosing function.
//
//   CHECK_RETURN(_downloadxml.IntoElem(), false);
//   -> "CHECK_RETURN,exp:_downloadxml.IntoElem() ,File:.../segment_journal.cc, Line:57"
//
// CHECK_RETURN_TEXT(condition, text, failure) does the same with `text` in the
// place of the condition's source text, for checks whose logged text is fixed
// (operators search the logs for it) while the code reads differently.
#ifndef WIN_DL_NET_CHECK_RETURN_H_
#define WIN_DL_NET_CHECK_RETURN_H_

#include "launcher/log/logger.h"

#define CHECK_RETURN_TEXT(exp, text, failure)                                                        \
  do {                                                                                               \
    if (!(exp)) {                                                                                    \
      LogWarn() << "CHECK_RETURN,exp:" << (text) << " ,File:" << __FILE__ << ", Line:" << __LINE__; \
      return failure;                                                                                \
    }                                                                                                \
  } while (0)

#define CHECK_RETURN(exp, failure) CHECK_RETURN_TEXT(exp, #exp, failure)

#endif  // WIN_DL_NET_CHECK_RETURN_H_
