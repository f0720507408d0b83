// The download job: one package fetched in four parallel, resumable byte
// ranges.
//
//   SegmentPolicy job(update_dir, url);
//   if (!job.Init()) ...;          // size, local file name, resume journal
//   job.Start();                   // Run on the job's own thread
//   ... job.GetDownloadedSize() / job.GetFileSize() from any thread ...
//   job.Wait();                    // or Stop() to cancel, then Wait()
//
// The local file is laid out at full size and split into four ranges; each
// range is fetched by a SegmentFetcher on its own thread. How far each range
// has come is kept in the resume journal "Download.xml" beside the program,
// so that a later job for the same local file resumes where this one stopped.
//
// With the digests of the file's blocks (SetBlockDigests) the job checks each
// block once all its bytes are on disk, wherever the ranges meet. A block
// that fails is fetched again on its own, from the next address, and an
// address that served a bad block is not asked again by this job (the last
// one left is kept). A resumed job checks the blocks the journal says are on
// disk instead of taking them on trust, and fetches only those that fail and
// what is missing. The journal's format is the same either way.
#ifndef WIN_DL_NET_SEGMENT_POLICY_H_
#define WIN_DL_NET_SEGMENT_POLICY_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "launcher/markup/markup_document.h"
#include "win_dl_net/deadlines.h"
#include "win_dl_net/file_fetch.h"
#include "win_dl_net/package_blocks.h"
#include "win_dl_net/rate_limit.h"
#include "win_dl_net/retry_wait.h"
#include "win_dl_net/thread_object.h"

class DownloadPolicy : public ThreadObject {
 public:
  DownloadPolicy(const std::string& dir, const std::string& url);
  ~DownloadPolicy() override;

  virtual bool Init() = 0;

  // Readable from any thread at any time.
  uint32_t GetFileSize() const { return _filesize.load(); }
  uint32_t GetDownloadedSize() const { return _downloadsize.load(); }
  const std::string& GetLocalFileName() const { return _localfilename; }

 protected:
  std::string _dir;            // target directory
  std::string _localfilename;  // full path of the local file, set by Init
  std::string _strurl;         // the package URL
  std::atomic<uint32_t> _filesize{0};
  std::atomic<uint32_t> _downloadsize{0};
};

// One byte range of the local file: [isp, ep], with everything before sp on
// disk. Complete when sp = ep + 1 (32-bit: an empty range has ep = 0xFFFFFFFF).
struct SegmentInfo {
  uint32_t i = 0;
  uint32_t isp = 0;
  uint32_t sp = 0;
  uint32_t ep = 0;
};

class SegmentPolicy : public DownloadPolicy {
 public:
  static constexpr int kSegmentCount = 4;
  // Rounds of the size query over every address while the servers answer
  // busy (503, 429).
  static constexpr int kSizeQueryRounds = 10;

  // `dir` is the directory the package goes to (with or without a trailing
  // separator), `url` the package URL.
  SegmentPolicy(const std::string& dir, const std::string& url);
  // Stops the job and waits for its thread.
  ~SegmentPolicy() override;

  // Learns the size, derives the local file name and loads the journal.
  // The size is asked of the URL and then of each mirror until one answers;
  // while every address answers busy, the round is repeated after the wait
  // the servers ask for (at most kSizeQueryRounds rounds, and no longer than
  // the stall limit: Stalled() then). False when the job cannot run.
  bool Init() override;
  // Cancels from any thread at any time: ends a size query of Init in
  // progress, ends the run (which saves the journal) and waits for the job's
  // thread. Init and Run see the stop and do no further work.
  void Stop() override;
  // The thread body: lays the file out when needed, runs the four fetchers
  // until every byte is in, every fetcher has ended, the job is stopped or
  // no byte has come for the stall limit (Stalled() then), waits for the
  // fetchers and saves the journal. Returns the save's result.
  int Run() override;

  // The deadlines of the job's transfers (before Init); the defaults when
  // unset. Deadlines::stall_ms counts from Init's start and from each byte
  // received after it.
  void SetDeadlines(const Deadlines& deadlines) { _deadlines = deadlines; }
  // Whether Init or Run gave up because nothing came for the stall limit,
  // and what the transfers met meanwhile ("server busy (status 503)"...).
  // Read them after Init has returned or the job's thread has ended.
  bool Stalled() const { return _stalled.load(); }
  const std::string& StallReason() const { return _stallreason; }
  // Milliseconds until the soonest retry of a range or size query that
  // waits on a busy answer (0 when one is due), -1 when none waits. Any
  // thread at any time.
  int64_t BusyRetryMs() const { return _busywaits.SoonestMs(); }

  // The layout of a file of `size` bytes into four ranges.
  static std::vector<SegmentInfo> Layout(uint32_t size);
  // The local file name an URL gives: the text after its last '/' or '\\'.
  // False when there is none to be had.
  static bool LocalNameOf(const std::string& url, std::string* name);

  // Where the journal lies; "Download.xml" in the program's directory unless
  // set (before Init) to another file.
  void SetJournalPath(const std::string& path) { _journalpath = path; }
  std::string JournalPath() const;

  const std::vector<SegmentInfo>& Segments() const { return _segments; }

  // Further addresses of the same package, tried in order after the URL
  // (before Init). One whose last segment differs from the URL's is left
  // out with a WARN line. The journal keeps the URL.
  void SetMirrors(const std::vector<std::string>& mirrors) { _mirrors = mirrors; }
  // The addresses Init and the fetchers use: the URL, then the usable
  // mirrors (after Init).
  const std::vector<std::string>& Addresses() const { return _addresses; }
  // The most bytes per second the job's ranges take together, 0 (the
  // default) for no cap. Before Start.
  void SetRateLimit(uint64_t bytes_per_second) { _ratelimit = std::make_unique<RateLimit>(bytes_per_second); }
  uint64_t RateLimitBytesPerSecond() const { return _ratelimit ? _ratelimit->BytesPerSecond() : 0; }
  // The SHA-256 of each `block_size` block of the file, in file order, as 64
  // upper-case hexadecimal digits (the version documents' packageblocks).
  // Before Init. A list whose count does not fit the size the server gives
  // is not used (WARN line); the whole file's digests are the caller's to
  // check either way.
  void SetBlockDigests(uint32_t block_size, const std::vector<std::string>& digests) {
    _blocksize = block_size;
    _blockdigests = digests;
  }
  // Fetches of one block after the fetch it failed: a block that fails them
  // all ends the job with the block counted as missing.
  static constexpr int kBlockRefetches = 3;
  // Whether the blocks are checked (after Init).
  bool ChecksBlocks() const { return _blocks.Valid(); }
  // Blocks fetched again because they failed their digest, and blocks that
  // failed it for good, in the last run. Read once the job's thread has ended.
  uint32_t BlocksFetchedAgain() const { return _blocksrefetched; }
  uint32_t BlocksFailed() const { return _blocksfailed; }
  // Addresses no longer asked because they served a bad block.
  std::vector<std::string> DroppedAddresses() const;

  // How long the job waits between attempts (before Init).
  void SetRetryTiming(const RetryTiming& timing) { _timing = timing; }
  const RetryTiming& GetRetryTiming() const { return _timing; }

 protected:
  // Resume journal (segment_journal.cc).
  bool LoadJournal();
  bool SaveJournal();
  // Lays the local file out at full size and makes the four ranges.
  bool CreateSegments();

  MarkupDocument _downloadxml;  // the journal, from Init to the end of the run
  std::vector<SegmentInfo> _segments;

 private:
  // Whether a journal item's ranges can drive this job; logs why not.
  bool UsableJournalItem(const std::string& url, const std::string& size_text,
                         const std::vector<SegmentInfo>& ranges) const;
  // Removes the current element (a DownloadItem) from the journal text.
  bool DropCurrentItem();
  void WakeMonitor();
  // Makes a fetcher of [isp, ep] from sp on for the job: its mirrors,
  // timing, deadlines, cap and address filter.
  std::unique_ptr<SegmentFetcher> NewFetcher(const std::string& url, const std::vector<std::string>& mirrors,
                                             uint32_t isp, uint32_t sp, uint32_t ep, int slot);

  // Verified blocks (with digests).
  enum class BlockState : uint8_t { kUnchecked, kGood, kQueued, kFetching, kFailed };
  // What of each range is on disk: from the ranges' fetchers while they
  // run, else from _segments.
  std::vector<PackageBlocks::OnDisk> RangesOnDisk() const;
  // A resumed job: checks the blocks the journal counts as on disk (bad ones
  // are queued) and moves each range past the good blocks at its position.
  void CheckResumedBlocks();
  // Checks the blocks that have come whole, takes in the ended block
  // fetches and starts queued ones while fewer than kSegmentCount fetchers
  // run. Job thread.
  void ServiceBlocks();
  // Block k failed its digest: drops the addresses that served it (`repair`:
  // the block's own fetch, else the ranges) and queues it again, or gives
  // it up after kBlockRefetches.
  void BlockFailedCheck(size_t k, const SegmentFetcher* repair);
  bool AddressUsable(const std::string& url) const;
  // The bytes of the blocks counted in the ranges that are not good.
  uint32_t BadBlockBytes() const;
  // Whether a block fetch is queued or running.
  bool BlockWorkLeft() const { return !_blockqueue.empty() || !_blockfetches.empty(); }
  // Milliseconds left of the stall limit; a large number without one.
  int64_t StallLeftMs() const;

  // The size query of Init while it runs, for Stop to end it.
  std::mutex _probemutex;
  FileFetch* _probe = nullptr;
  std::vector<std::unique_ptr<SegmentFetcher>> _workslist;
  std::string _journalpath;
  std::vector<std::string> _mirrors;
  std::vector<std::string> _addresses;
  RetryTiming _timing;
  StopWait _stopwait;  // the waits of Init between size-query rounds
  Deadlines _deadlines;
  BusyWaits _busywaits;
  std::unique_ptr<RateLimit> _ratelimit;  // shared by the fetchers; null: no cap
  // The last byte's arrival (or Init's start): the stall limit counts from it.
  std::chrono::steady_clock::time_point _lastprogress = std::chrono::steady_clock::now();
  std::atomic<bool> _stalled{false};
  std::string _stallreason;

  PackageBlocks _blocks;
  uint32_t _blocksize = 0;
  std::vector<std::string> _blockdigests;
  std::vector<BlockState> _blockstate;
  std::vector<int> _blockrefetches;  // fetches of each block after its first
  std::deque<size_t> _blockqueue;    // blocks to fetch again
  struct BlockFetch {
    size_t block;
    std::unique_ptr<SegmentFetcher> fetcher;
  };
  std::vector<BlockFetch> _blockfetches;  // running (or ended, not yet taken in)
  uint32_t _blockfetchbytes = 0;          // received by ended block fetches
  uint32_t _blocksrefetched = 0;
  uint32_t _blocksfailed = 0;
  mutable std::mutex _addressmutex;
  std::set<std::string> _dropped;

  std::mutex _wakemutex;
  std::condition_variable _wake;
  bool _woken = false;  // a fetcher ended (or a stop came) since the monitor last looked
};

#endif  // WIN_DL_NET_SEGMENT_POLICY_H_
