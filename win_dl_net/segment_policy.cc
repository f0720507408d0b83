#include "win_dl_net/segment_policy.h"

#include <algorithm>
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
  _blocks = PackageBlocks();
  if (!_blockdigests.empty() || _blocksize > 0) {
    PackageBlocks blocks(_blocksize, _blockdigests, _filesize);
    if (blocks.Valid()) {
      _blocks = blocks;
    } else {
      LogWarn() << "block digests not used: " << _blockdigests.size() << " for a file of " << _filesize.load()
                << " bytes in blocks of " << _blocksize;
    }
  }
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
  _woken = true;
  _wake.notify_all();
}

std::unique_ptr<SegmentFetcher> SegmentPolicy::NewFetcher(const std::string& url,
                                                          const std::vector<std::string>& mirrors, uint32_t isp,
                                                          uint32_t sp, uint32_t ep, int slot) {
  auto fetcher = std::make_unique<SegmentFetcher>(url, _localfilename, isp, sp, ep);
  fetcher->SetFinishedCallback([this] { WakeMonitor(); });
  fetcher->SetMirrors(mirrors);
  fetcher->SetRetryTiming(&_timing);
  fetcher->SetDeadlines(&_deadlines);
  fetcher->SetBusyWaits(&_busywaits, slot);
  fetcher->SetRateLimit(_ratelimit.get());
  if (_blocks.Valid()) fetcher->SetAddressFilter([this](const std::string& a) { return AddressUsable(a); });
  return fetcher;
}

bool SegmentPolicy::AddressUsable(const std::string& url) const {
  std::lock_guard<std::mutex> hold(_addressmutex);
  return _dropped.count(url) == 0;
}

std::vector<std::string> SegmentPolicy::DroppedAddresses() const {
  std::lock_guard<std::mutex> hold(_addressmutex);
  std::vector<std::string> out;
  for (const std::string& a : _addresses)
    if (_dropped.count(a)) out.push_back(a);
  return out;
}

std::vector<PackageBlocks::OnDisk> SegmentPolicy::RangesOnDisk() const {
  std::vector<PackageBlocks::OnDisk> parts;
  for (size_t i = 0; i < _segments.size(); ++i) {
    const SegmentInfo& s = _segments[i];
    if (s.ep == 0xFFFFFFFFu) continue;  // an empty range
    PackageBlocks::OnDisk p;
    p.first = s.isp;
    p.done = i < _workslist.size() ? _workslist[i]->GetCurPos() : s.sp;
    parts.push_back(p);
  }
  return parts;
}

void SegmentPolicy::CheckResumedBlocks() {
  const std::vector<PackageBlocks::OnDisk> parts = RangesOnDisk();
  for (size_t k = 0; k < _blocks.Count(); ++k) {
    if (!_blocks.Covered(k, parts)) continue;
    if (_blocks.Check(_localfilename, k)) {
      _blockstate[k] = BlockState::kGood;
      continue;
    }
    // No address is to blame for what lies on disk.
    LogWarn() << "block " << k << " on disk fails its SHA-256, fetched again: bytes " << _blocks.First(k) << "-"
              << _blocks.Last(k);
    _blockstate[k] = BlockState::kQueued;
    _blockqueue.push_back(k);
  }
  // Bytes the journal does not count may be on disk already (a run that
  // ended before it saved): each range goes on past the good blocks at its
  // position.
  for (SegmentInfo& s : _segments) {
    if (s.ep == 0xFFFFFFFFu) continue;
    const uint32_t from = s.sp;
    while (s.sp != s.ep + 1) {
      const size_t k = _blocks.BlockOf(s.sp);
      if (_blockstate[k] == BlockState::kUnchecked && _blocks.Check(_localfilename, k)) {
        _blockstate[k] = BlockState::kGood;
      }
      if (_blockstate[k] != BlockState::kGood) break;
      s.sp = _blocks.Last(k) < s.ep ? _blocks.Last(k) + 1 : s.ep + 1;
    }
    if (s.sp != from) LogInfo() << "range " << s.isp << "-" << s.ep << " has good blocks on disk up to sp:" << s.sp;
  }
}

void SegmentPolicy::BlockFailedCheck(size_t k, const SegmentFetcher* repair) {
  const uint32_t first = _blocks.First(k), last = _blocks.Last(k);
  std::vector<std::string> sources;
  auto add = [&](const SegmentFetcher& f) {
    for (const std::string& a : f.ServedBy(first, last))
      if (std::find(sources.begin(), sources.end(), a) == sources.end()) sources.push_back(a);
  };
  if (repair) {
    add(*repair);
  } else {
    for (const auto& f : _workslist) add(*f);
  }
  {
    // The addresses that served it are asked no more, mirrors first, while
    // another one is left to ask.
    std::lock_guard<std::mutex> hold(_addressmutex);
    for (auto a = _addresses.rbegin(); a != _addresses.rend(); ++a) {
      if (std::find(sources.begin(), sources.end(), *a) == sources.end() || _dropped.count(*a)) continue;
      if (_dropped.size() + 1 >= _addresses.size()) break;
      _dropped.insert(*a);
      LogWarn() << "address no longer used for this download, it served a bad block:" << *a;
    }
  }
  if (_blockrefetches[k] >= kBlockRefetches) {
    LogError() << "block " << k << " (bytes " << first << "-" << last << ") failed its SHA-256 after "
               << _blockrefetches[k] << " fetches again";
    _blockstate[k] = BlockState::kFailed;
    ++_blocksfailed;
    return;
  }
  LogWarn() << "block " << k << " (bytes " << first << "-" << last << ") fails its SHA-256, fetched again";
  _blockstate[k] = BlockState::kQueued;
  _blockqueue.push_back(k);
}

void SegmentPolicy::ServiceBlocks() {
  // The block fetches that ended.
  for (size_t i = 0; i < _blockfetches.size();) {
    BlockFetch& bf = _blockfetches[i];
    if (!bf.fetcher->IsFinished()) {
      ++i;
      continue;
    }
    bf.fetcher->Wait();
    _blockfetchbytes += bf.fetcher->GetDownloaded();
    const size_t k = bf.block;
    if (bf.fetcher->LastResult() != FetchResult::kComplete) {
      // Refused at every address (or stopped): nothing more to ask.
      if (IsRunning()) {
        LogError() << "block " << k << " cannot be fetched again: " << bf.fetcher->LastFailure();
        _blockstate[k] = BlockState::kFailed;
        ++_blocksfailed;
      }
    } else if (_blocks.Check(_localfilename, k)) {
      LogInfo() << "block " << k << " fetched again and good";
      _blockstate[k] = BlockState::kGood;
    } else {
      BlockFailedCheck(k, bf.fetcher.get());
    }
    _blockfetches.erase(_blockfetches.begin() + static_cast<std::ptrdiff_t>(i));
  }
  // The blocks that have come whole through the ranges.
  const std::vector<PackageBlocks::OnDisk> parts = RangesOnDisk();
  for (size_t k = 0; k < _blocks.Count(); ++k) {
    if (_blockstate[k] != BlockState::kUnchecked || !_blocks.Covered(k, parts)) continue;
    if (_blocks.Check(_localfilename, k)) {
      _blockstate[k] = BlockState::kGood;
    } else {
      BlockFailedCheck(k, nullptr);
    }
  }
  // Queued blocks, while fewer than kSegmentCount fetchers run.
  size_t running = _blockfetches.size();
  for (const auto& f : _workslist) running += !f->IsFinished();
  while (!_blockqueue.empty() && running < kSegmentCount && IsRunning()) {
    const size_t k = _blockqueue.front();
    _blockqueue.pop_front();
    // From the address after the first one that served it, the usable
    // ones in turn.
    std::vector<std::string> order;
    size_t after = 0;
    for (const auto& f : _workslist) {
      std::vector<std::string> served = f->ServedBy(_blocks.First(k), _blocks.Last(k));
      if (served.empty()) continue;
      after = std::find(_addresses.begin(), _addresses.end(), served.front()) - _addresses.begin() + 1;
      break;
    }
    for (size_t j = 0; j < _addresses.size(); ++j) {
      const std::string& a = _addresses[(after + j) % _addresses.size()];
      if (AddressUsable(a)) order.push_back(a);
    }
    if (order.empty()) order.push_back(_strurl);
    ++_blockrefetches[k];
    ++_blocksrefetched;
    _blockstate[k] = BlockState::kFetching;
    BlockFetch bf{k, NewFetcher(order.front(), std::vector<std::string>(order.begin() + 1, order.end()),
                                _blocks.First(k), _blocks.First(k), _blocks.Last(k), kSegmentCount + static_cast<int>(k))};
    LogInfo() << "block " << k << " fetched again from " << order.front();
    if (!bf.fetcher->Start()) {
      LogError() << "block thread not started";
      _blockstate[k] = BlockState::kFailed;
      ++_blocksfailed;
      continue;
    }
    _blockfetches.push_back(std::move(bf));
    ++running;
  }
}

uint32_t SegmentPolicy::BadBlockBytes() const {
  uint32_t bytes = 0;
  for (size_t k = 0; k < _blockstate.size(); ++k)
    if (_blockstate[k] != BlockState::kGood && _blockstate[k] != BlockState::kUnchecked) bytes += _blocks.Length(k);
  return bytes;
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
  const bool resumed = !_segments.empty();
  if (_segments.empty() && !CreateSegments()) {
    // Nothing to fetch and nothing to record.
    LogInfo() << "segment file error";
    return false;
  }
  _workslist.clear();
  _blockfetches.clear();
  _blockqueue.clear();
  _blockfetchbytes = _blocksrefetched = _blocksfailed = 0;
  const bool blocks = _blocks.Valid();
  _blockstate.assign(_blocks.Count(), BlockState::kUnchecked);
  _blockrefetches.assign(_blocks.Count(), 0);
  if (blocks && resumed) CheckResumedBlocks();
  if (_ratelimit && _ratelimit->Limited()) {
    LogInfo() << "download limited to " << _ratelimit->BytesPerSecond() << " bytes/s";
  }
  const std::vector<std::string> mirrors(_addresses.begin() + 1, _addresses.end());
  for (const SegmentInfo& s : _segments) {
    _workslist.push_back(NewFetcher(_strurl, mirrors, s.isp, s.sp, s.ep, static_cast<int>(s.i)));
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
  for (;;) {
    // Ranges that had ended before the blocks are looked at have all their
    // blocks looked at.
    const bool ranges_ended = all_ended();
    if (blocks) ServiceBlocks();
    uint32_t sum = 0;
    for (size_t i = 0; i < _workslist.size(); ++i) {
      uint32_t d = _workslist[i]->GetDownloaded();
      sum += d;
      LogInfo() << "_workslist[" << i << "]:current size:" << d;
    }
    // Every byte received counts as progress, a block's second fetch too;
    // the count shown leaves out the blocks that failed their digest.
    uint32_t received = sum + _blockfetchbytes;
    uint32_t fetching = 0;
    for (const BlockFetch& bf : _blockfetches) fetching += bf.fetcher->GetDownloaded();
    received += fetching;
    _downloadsize = blocks ? sum - BadBlockBytes() + fetching : sum;
    if (received > most) {
      most = received;
      _lastprogress = std::chrono::steady_clock::now();
    }
    const int64_t left = StallLeftMs();
    if (left <= 0) {
      _stalled = true;
      break;
    }
    // With blocks the run ends once every fetch has ended and no block
    // waits; without, once every byte is in or every range has ended.
    const bool finished = blocks ? ranges_ended && !BlockWorkLeft() : sum >= _filesize || all_ended();
    if (!IsRunning() || finished) break;
    // A second between progress lines; a fetcher ending or a stop wakes at once.
    std::unique_lock<std::mutex> lock(_wakemutex);
    _wake.wait_for(lock, std::chrono::milliseconds(left < 1000 ? left : 1000),
                   [&] { return !IsRunning() || _woken; });
    _woken = false;
  }

  // Every fetcher writes what it holds before the run counts as ended.
  for (auto& f : _workslist) f->Stop();
  for (auto& bf : _blockfetches) bf.fetcher->Stop();
  uint32_t on_disk = 0;
  for (size_t i = 0; i < _workslist.size(); ++i) {
    _workslist[i]->Wait();
    _segments[i].sp = _workslist[i]->GetCurPos();
    on_disk += _segments[i].sp - _segments[i].isp;
  }
  for (auto& bf : _blockfetches) bf.fetcher->Wait();
  // A block that is not known good is not downloaded; the journal keeps the
  // ranges' positions, and the next job checks the blocks again.
  if (blocks) on_disk -= BadBlockBytes();
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
