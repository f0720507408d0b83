// CHECK_RETURN(condition, failure): when `condition` is false, writes one WARN
// line naming the condition's source text, this source file and the line, and
// returns `failure` from the enclosing function.
//
//   CHECK_RETURN(_downloadxml.IntoElem(), false);
//   -> "CHECK_RETURN,exp:_downloadxml.IntoElem() ,File:.../segment_journal.cc, Line:57"
#ifndef WIN_DL_NET_CHECK_RETURN_H_
#define WIN_DL_NET_CHECK_RETURN_H_

#include "launcher/log/logger.h"

#define CHECK_RETURN(exp, failure)                                                                 \
  do {                                                                                             \
    if (!(exp)) {                                                                                  \
      LogWarn() << "CHECK_RETURN,exp:" << #exp << " ,File:" << __FILE__ << ", Line:" << __LINE__; \
      return failure;                                                                              \
    }                                                                                              \
  } while (0)

#endif  // WIN_DL_NET_CHECK_RETURN_H_
