#include "win_dl_net/segment_policy.h"

#include <chrono>
#include <cstdint>

#include "launcher/log/logger.h"
#include "platform/file.h"
#include "platform/path.h"
#include "win_dl_net/check_return.h"

DownloadPolicy::DownloadPolicy(const std::string& dir, const std::string& url) : ThreadObject(true), _dir(dir), _strurl(url) {}

DownloadPolicy::~DownloadPolicy() = default;

SegmentPolicy::SegmentPolicy(const std::string& dir, const std::string& url) : DownloadPolicy(dir, url) {}

SegmentPolicy::~SegmentPolicy() { SegmentPolicy::Stop(); }

bool SegmentPolicy::LocalNameOf(const std::string& url, std::string* name) {
  std::string copy = url.substr(0, 259);
  size_t sep = copy.find_last_of("/\\");
  if (sep == 0) return false;
  std::string tail = sep == std::string::npos ? copy : copy.substr(sep + 1);
  // No file may be called that: the URL names a directory.
  if (tail.empty() || tail == "." || tail == "..") return false;
  *name = tail;
  return true;
}

std::vector<SegmentInfo> SegmentPolicy::Layout(uint32_t size) {
  std::vector<SegmentInfo> out;
  uint32_t q = size / 4;
  for (uint32_t i = 0; i < 3; ++i) {
    SegmentInfo s;
    s.i = i;
    s.isp = s.sp = i * q;
    s.ep = (i + 1) * q - 1;  // q = 0: 0xFFFFFFFF, an empty range
    out.push_back(s);
  }
  SegmentInfo last;
  last.i = 3;
  last.isp = last.sp = 3 * q;
  last.ep = size - 1;
  out.push_back(last);
  return out;
}

namespace {

// The text after an address's last '/' or '\\'.
std::string LastSegment(const std::string& url) {
  size_t at = url.find_last_of("/\\");
  return at == std::string::npos ? url : url.substr(at + 1);
}

}  // namespace

int64_t SegmentPolicy::StallLeftMs() const {
  if (_deadlines.stall_ms == 0) return INT64_MAX;
  const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - _lastprogress);
  return static_cast<int64_t>(_deadlines.stall_ms) - since.count();
}

bool SegmentPolicy::Init() {
  _lastprogress = std::chrono::steady_clock::now();
  _stalled = false;
  _stallreason.clear();
  std::string name;
  if (!LocalNameOf(_strurl, &name)) return false;
  _localfilename = platform::JoinPath(_dir, name);
  _addresses.assign(1, _strurl);
  for (const std::string& mirror : _mirrors) {
    if (LastSegment(mirror) != LastSegment(_strurl)) {
      LogWarn() << "mirror ignored, its file name differs from the package's:" << mirror;
      continue;
    }
    _addresses.push_back(mirror);
  }
  Backoff backoff(_timing);
  bool answered = false;
  uint32_t size = 0;
  std::string busy_text;  // the last busy answer, for the stall's reason
  for (int round = 0; !answered; ++round) {
    bool busy = false;
    int64_t retry_after = -1;
    for (const std::string& address : _addresses) {
      FileFetch probe(address);
      {
        std::lock_guard<std::mutex> hold(_probemutex);
        _probe = &probe;
      }
      // A Stop before this point is seen here, one after it aborts the query.
      answered = IsRunning() && probe.GetRemoteFileAttribute();
      {
        std::lock_guard<std::mutex> hold(_probemutex);
        _probe = nullptr;
      }
      if (!IsRunning()) return false;
      if (answered) {
        size = probe.GetFileSize();
        break;
      }
      if (probe.LastReplyBusy()) {
        busy = true;
        busy_text = "server busy (status " + std::to_string(probe.LastStatus()) +
                    (probe.LastRetryAfter().empty() ? std::string() : ", Retry-After " + probe.LastRetryAfter()) +
                    ") to the size query";
        int64_t ms = RetryAfterMs(probe.LastRetryAfter(), _timing.Now());
        if (ms > retry_after) retry_after = ms;
      }
      if (_addresses.size() > 1) LogWarn() << "size query unanswered,status:" << probe.LastStatus() << ",url:" << address;
    }
    if (answered) break;
    // Only busy servers are asked again; the old rule asked once.
    if (!busy || _timing.fixed || round + 1 >= kSizeQueryRounds) break;
    uint32_t wait = backoff.Failed(retry_after);
    // Busy answers are no progress: the rounds end with the stall limit.
    const int64_t left = StallLeftMs();
    const bool last = left <= static_cast<int64_t>(wait);
    if (last) wait = left > 0 ? static_cast<uint32_t>(left) : 0;
    LogInfo() << "servers busy, size query again in " << wait << " ms";
    _busywaits.Begin(-1, wait);
    const bool waited = _stopwait.WaitMs(wait);
    _busywaits.End(-1);
    if (!waited) return false;
    if (last) {
      _stallreason = busy_text;
      _stalled = true;
      LogWarn() << "no answer to the size query but busy ones within " << _deadlines.stall_ms << " ms";
      return false;
    }
  }
  if (!answered) {
    LogError() << "get remote file attribute error";
    return false;
  }
  _filesize = size;
  LogInfo() << "file size" << _filesize.load();
  if (!LoadJournal()) {
    LogError() << "load xml error";
    return false;
  }
  return true;
}

bool SegmentPolicy::CreateSegments() {
  if (platform::Exists(_localfilename)) platform::RemoveFile(_localfilename);
  LogInfo() << "file name" << _localfilename << "file size" << _filesize.load();
  {
    platform::FileOpenOptions exclusive;
    exclusive.disposition = platform::FileDisposition::kReadWrite;
    std::unique_ptr<platform::File> file = platform::OpenFile(_localfilename, exclusive);
    // The laid-out file; a zero-length package has no byte to lay out.
    platform::File* pbWFile =
        file && _filesize > 0 && file->SetLength(_filesize) == platform::Status::kOk ? file.get() : NULL;
    CHECK_RETURN(pbWFile != NULL, false);
  }
  if (!IsRunning()) {
    platform::RemoveFile(_localfilename);
    return false;
  }
  _segments = Layout(_filesize);
  return true;
}

void SegmentPolicy::WakeMonitor() {
  std::lock_guard<std::mutex> lock(_wakemutex);
  _wake.notify_all();
}

void SegmentPolicy::Stop() {
  ThreadObject::Stop();
  {
    std::lock_guard<std::mutex> hold(_probemutex);
    if (_probe) _probe->Abort();
  }
  _stopwait.Interrupt();
  WakeMonitor();
  // The fetchers and ranges belong to Init and Run; they are released with
  // the job.
  Wait();
}

int SegmentPolicy::Run() {
  if (_segments.empty() && !CreateSegments()) {
    // Nothing to fetch and nothing to record.
    LogInfo() << "segment file error";
    return false;
  }
  _workslist.clear();
  if (_ratelimit && _ratelimit->Limited()) {
    LogInfo() << "download limited to " << _ratelimit->BytesPerSecond() << " bytes/s";
  }
  for (const SegmentInfo& s : _segments) {
    auto fetcher = std::make_unique<SegmentFetcher>(_strurl, _localfilename, s.isp, s.sp, s.ep);
    fetcher->SetFinishedCallback([this] { WakeMonitor(); });
    fetcher->SetMirrors(std::vector<std::string>(_addresses.begin() + 1, _addresses.end()));
    fetcher->SetRetryTiming(&_timing);
    fetcher->SetDeadlines(&_deadlines);
    fetcher->SetBusyWaits(&_busywaits, static_cast<int>(s.i));
    fetcher->SetRateLimit(_ratelimit.get());
    _workslist.push_back(std::move(fetcher));
  }
  std::vector<bool> started;
  for (auto& f : _workslist) {
    bool ok = f->Start();
    if (!ok) LogError() << "segment thread not started";
    started.push_back(ok);
  }
  uint32_t initial = 0;
  for (const SegmentInfo& s : _segments) initial += s.sp - s.isp;
  _downloadsize = initial;

  auto all_ended = [&] {
    for (size_t i = 0; i < _workslist.size(); ++i) {
      if (started[i] && !_workslist[i]->IsFinished()) return false;
    }
    return true;
  };
  uint32_t most = initial;  // the most bytes received so far
  do {
    uint32_t sum = 0;
    for (size_t i = 0; i < _workslist.size(); ++i) {
      uint32_t d = _workslist[i]->GetDownloaded();
      sum += d;
      LogInfo() << "_workslist[" << i << "]:current size:" << d;
    }
    _downloadsize = sum;
    if (sum > most) {
      most = sum;
      _lastprogress = std::chrono::steady_clock::now();
    }
    const int64_t left = StallLeftMs();
    if (left <= 0) {
      _stalled = true;
      break;
    }
    // A second between progress lines; a fetcher ending or a stop wakes at once.
    std::unique_lock<std::mutex> lock(_wakemutex);
    _wake.wait_for(lock, std::chrono::milliseconds(left < 1000 ? left : 1000),
                   [&] { return !IsRunning() || all_ended(); });
  } while (_downloadsize < _filesize && IsRunning() && !all_ended());

  // Every fetcher writes what it holds before the run counts as ended.
  for (auto& f : _workslist) f->Stop();
  uint32_t on_disk = 0;
  for (size_t i = 0; i < _workslist.size(); ++i) {
    _workslist[i]->Wait();
    _segments[i].sp = _workslist[i]->GetCurPos();
    on_disk += _segments[i].sp - _segments[i].isp;
  }
  _downloadsize = on_disk;
  if (_stalled) {
    // What the ranges that were not done met meanwhile, each once.
    for (const auto& f : _workslist) {
      const std::string& failure = f->LastFailure();
      if (f->GetCurPos() == f->GetEndPos() + 1 || failure.empty()) continue;
      if (_stallreason.find(failure) != std::string::npos) continue;
      _stallreason += (_stallreason.empty() ? "" : "; ") + failure;
    }
    if (_stallreason.empty()) _stallreason = "no data";
    LogWarn() << "no byte received for " << _deadlines.stall_ms << " ms: " << _stallreason;
  }
  return SaveJournal();
}
