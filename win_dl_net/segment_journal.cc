// The resume journal "Download.xml": one DownloadItem per local file, with
// its four ranges.
//
//   <VellmarkDownload>
//   <DownloadItem lf="C:\game\update\pkg.exe" segCnt="4" dt="1571300000">
//   <URL>http://host/pkg.exe</URL>
//   <FileSize>1000</FileSize>
//   <Segments>
//   <SegmentItem i="0" isp="0" sp="250" ep="249"/>
//   ...
//   </Segments>
//   </DownloadItem>
//   </VellmarkDownload>
//
// Numbers are written as signed 32-bit decimals and read back to the same
// bits. The file is replaced whole on every save, through a temporary file.
#include <cstdlib>
#include <ctime>

#include "launcher/log/logger.h"
#include "platform/file.h"
#include "platform/path.h"
#include "win_dl_net/check_return.h"
#include "win_dl_net/journal_checks.h"
#include "win_dl_net/segment_policy.h"

namespace {

// The C library's decimal conversion, kept to 32 bits: "-1" gives 0xFFFFFFFF.
uint32_t ToU32(const std::string& text) {
  return static_cast<uint32_t>(static_cast<unsigned long long>(std::strtoll(text.c_str(), nullptr, 10)));
}

int AsInt(uint32_t v) { return static_cast<int>(v); }

}  // namespace

std::string SegmentPolicy::JournalPath() const {
  if (!_journalpath.empty()) return _journalpath;
  std::string dir = platform::ExecutableDir();
  if (dir.empty()) return std::string();
  return platform::JoinPath(dir, "Download.xml");
}

bool SegmentPolicy::UsableJournalItem(const std::string& url, const std::string& size_text,
                                      const std::vector<SegmentInfo>& ranges) const {
  const char* why = nullptr;
  std::vector<SegmentInfo> layout = Layout(_filesize);
  if (ranges.size() != kSegmentCount) {
    why = "not four ranges";
  } else if (url != _strurl) {
    why = "another URL";
  } else if (ToU32(size_text) != _filesize) {
    why = "another file size";
  } else if (platform::FileSize(_localfilename) != static_cast<int64_t>(_filesize.load())) {
    why = "local file of another size";
  } else {
    for (int k = 0; k < kSegmentCount && !why; ++k) {
      const SegmentInfo& r = ranges[k];
      uint64_t end = r.ep == 0xFFFFFFFFu ? 0 : uint64_t{r.ep} + 1;
      if (r.isp != layout[k].isp || r.ep != layout[k].ep || r.sp < r.isp || r.sp > end) why = "range out of place";
    }
  }
  if (!why) return true;
  LogWarn() << "journal item discarded (" << why << "), file laid out anew:" << _localfilename;
  return false;
}

bool SegmentPolicy::DropCurrentItem() {
  int pos = _downloadxml.MainPos();
  if (pos <= 0) return false;
  const MarkupDocument::ElemRecord& item = _downloadxml.Element(pos);
  std::string text = _downloadxml.GetDoc();
  size_t begin = static_cast<size_t>(item.start);
  size_t end = begin + static_cast<size_t>(item.length);
  if (end > text.size()) return false;
  if (text.compare(end, 2, "\r\n") == 0) end += 2;
  text.erase(begin, end - begin);
  _downloadxml.SetDoc(text);
  _downloadxml.ResetPos();
  return true;
}

bool SegmentPolicy::LoadJournal() {
  std::string path = JournalPath();
  if (path.empty()) return false;
  _segments.clear();
  if (platform::Exists(path) && !platform::Exists(_localfilename)) platform::RemoveFile(path);
  bool fresh = !platform::Exists(path);
  if (!fresh && !_downloadxml.Load(path)) {
    LogWarn() << "journal does not load, starting a new one:" << path;
    fresh = true;
  }
  if (!fresh) {
    _downloadxml.ResetPos();
    if (!_downloadxml.FindElem("VellmarkDownload")) {
      LogWarn() << "journal without its root, starting a new one:" << path;
      fresh = true;
    }
  }
  if (fresh) {
    _downloadxml = MarkupDocument();
    CHECK_RETURN_TEXT(_downloadxml.AddElem("VellmarkDownload"), journal_check::kAddRoot, false);
    return true;
  }
  CHECK_RETURN_TEXT(_downloadxml.IntoElem(), journal_check::kIntoElem, false);
  bool found = false;
  while (_downloadxml.FindElem("DownloadItem")) {
    if (_downloadxml.GetAttrib("lf") == _localfilename) {
      found = true;
      break;
    }
  }
  if (!found) return true;

  CHECK_RETURN_TEXT(_downloadxml.IntoElem(), journal_check::kIntoElem, false);
  std::string url, size_text;
  if (_downloadxml.FindElem("URL")) url = _downloadxml.GetData();
  if (_downloadxml.FindElem("FileSize")) size_text = _downloadxml.GetData();
  std::vector<SegmentInfo> ranges;
  if (_downloadxml.FindElem("Segments")) {
    CHECK_RETURN_TEXT(_downloadxml.IntoElem(), journal_check::kIntoElem, false);
    while (_downloadxml.FindElem("SegmentItem")) {
      SegmentInfo s;
      s.i = ToU32(_downloadxml.GetAttrib("i"));
      s.isp = ToU32(_downloadxml.GetAttrib("isp"));
      s.sp = ToU32(_downloadxml.GetAttrib("sp"));
      s.ep = ToU32(_downloadxml.GetAttrib("ep"));
      ranges.push_back(s);
    }
    _downloadxml.OutOfElem();
  }
  _downloadxml.OutOfElem();
  if (!UsableJournalItem(url, size_text, ranges)) {
    // The other items stay; this one is written anew by the next save.
    CHECK_RETURN(DropCurrentItem(), false);
    return true;
  }
  _segments = ranges;
  return true;
}

bool SegmentPolicy::SaveJournal() {
  std::string path = JournalPath();
  if (path.empty() || _segments.size() != kSegmentCount) return false;
  _downloadxml.ResetPos();
  CHECK_RETURN_TEXT(_downloadxml.FindElem("VellmarkDownload"), journal_check::kFindRoot, false);
  CHECK_RETURN_TEXT(_downloadxml.IntoElem(), journal_check::kIntoElem, false);
  bool found = false;
  while (_downloadxml.FindElem("DownloadItem")) {
    if (_downloadxml.GetAttrib("lf") == _localfilename) {
      found = true;
      break;
    }
  }
  int now = static_cast<int>(time(NULL));
  if (found) {
    _downloadxml.SetAttrib("dt", now);
    CHECK_RETURN_TEXT(_downloadxml.IntoElem(), journal_check::kIntoElem, false);
    CHECK_RETURN_TEXT(_downloadxml.FindElem("Segments"), journal_check::kFindSegments, false);
    CHECK_RETURN_TEXT(_downloadxml.IntoElem(), journal_check::kIntoElem, false);
    for (int k = 0; k < kSegmentCount && _downloadxml.FindElem("SegmentItem"); ++k) {
      _downloadxml.SetAttrib("sp", AsInt(_segments[k].sp));
    }
  } else {
    CHECK_RETURN_TEXT(_downloadxml.InsertElem("DownloadItem"), journal_check::kInsertItem, false);
    CHECK_RETURN_TEXT(_downloadxml.SetAttrib("lf", _localfilename), journal_check::kSetLocalFile, false);
    CHECK_RETURN_TEXT(_downloadxml.SetAttrib("segCnt", kSegmentCount), journal_check::kSetSegmentCount, false);
    CHECK_RETURN_TEXT(_downloadxml.SetAttrib("dt", now), journal_check::kSetTime, false);
    CHECK_RETURN_TEXT(_downloadxml.IntoElem(), journal_check::kIntoElem, false);
    CHECK_RETURN_TEXT(_downloadxml.AddElem("URL", _strurl), journal_check::kAddUrl, false);
    CHECK_RETURN_TEXT(_downloadxml.AddElem("FileSize", AsInt(_filesize)), journal_check::kAddFileSize, false);
    CHECK_RETURN_TEXT(_downloadxml.AddElem("Segments"), journal_check::kAddSegments, false);
    CHECK_RETURN_TEXT(_downloadxml.IntoElem(), journal_check::kIntoElem, false);
    for (const SegmentInfo& s : _segments) {
      _downloadxml.AddElem("SegmentItem");
      _downloadxml.SetAttrib("i", AsInt(s.i));
      _downloadxml.SetAttrib("isp", AsInt(s.isp));
      _downloadxml.SetAttrib("sp", AsInt(s.sp));
      _downloadxml.SetAttrib("ep", AsInt(s.ep));
    }
  }
  if (platform::Exists(path) && platform::IsReadOnly(path)) platform::SetReadOnly(path, false);
  // A crash or a full disk in the middle of a save leaves the old journal or
  // the new one, never a piece of either (Save goes through a temporary).
  CHECK_RETURN(_downloadxml.Save(path), false);
  return true;
}
