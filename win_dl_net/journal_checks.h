// The texts the resume journal's failed checks write after "CHECK_RETURN,exp:"
// (see check_return.h). They are the journal code's established log texts,
// kept exactly as they are so that searches of old and new logs find them.
#ifndef WIN_DL_NET_JOURNAL_CHECKS_H_
#define WIN_DL_NET_JOURNAL_CHECKS_H_

namespace journal_check {

inline constexpr char kAddRoot[] = "_downloadxml.AddElem(_T(\"VellmarkDownload\"))";
inline constexpr char kFindRoot[] = "_downloadxml.FindElem(_T(\"VellmarkDownload\"))";
inline constexpr char kIntoElem[] = "_downloadxml.IntoElem()";
inline constexpr char kFindSegments[] = "_downloadxml.FindElem(_T(\"Segments\"))";
inline constexpr char kInsertItem[] = "_downloadxml.InsertElem(_T(\"DownloadItem\"))";
inline constexpr char kSetLocalFile[] = "_downloadxml.SetAttrib(_T(\"lf\"),_localfilename.GetBuffer())";
inline constexpr char kSetSegmentCount[] = "_downloadxml.SetAttrib(_T(\"segCnt\"),TC)";
inline constexpr char kSetTime[] = "_downloadxml.SetAttrib(_T(\"dt\"),time(NULL))";
inline constexpr char kAddUrl[] = "_downloadxml.AddElem(_T(\"URL\"),_strurl.GetBuffer())";
inline constexpr char kAddFileSize[] = "_downloadxml.AddElem(_T(\"FileSize\"),_filesize)";
inline constexpr char kAddSegments[] = "_downloadxml.AddElem(_T(\"Segments\"))";

}  // namespace journal_check

#endif  // WIN_DL_NET_JOURNAL_CHECKS_H_
