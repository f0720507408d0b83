// segment_download [--fixed-retry] [--mirror URL]... DIR URL [JOURNAL]
//
// Runs one download job the way the update engine does: Init, Start, Wait.
// The package goes to DIR; the journal is JOURNAL (default: Download.xml
// beside this program). --mirror adds a further address of the same file
// (any number, in order); --fixed-retry waits 1000 ms after every failure and
// ignores Retry-After, as older launchers did (for comparison runs). Prints
// the size and the bytes on disk; exit code 0 when the file is complete, 1
// when not, 2 when the job cannot run.
// Used by the tests (a process to kill), the benchmarks and scripts/loadtest.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/log/logger.h"
#include "win_dl_net/segment_policy.h"

int main(int argc, char** argv) {
  std::vector<std::string> mirrors;
  std::vector<std::string> args;
  RetryTiming timing;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fixed-retry") == 0) {
      timing.fixed = true;
    } else if (std::strcmp(argv[i], "--mirror") == 0 && i + 1 < argc) {
      mirrors.push_back(argv[++i]);
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() < 2) {
    std::fprintf(stderr, "usage: segment_download [--fixed-retry] [--mirror URL]... DIR URL [JOURNAL]\n");
    return 2;
  }
  SegmentPolicy job(args[0], args[1]);
  if (args.size() > 2) job.SetJournalPath(args[2]);
  job.SetMirrors(mirrors);
  job.SetRetryTiming(timing);
  if (!job.Init()) {
    std::fprintf(stderr, "SegmentPolicy init error\n");
    return 2;
  }
  if (!job.Start()) return 2;
  job.Wait();
  std::printf("%u %u\n", job.GetFileSize(), job.GetDownloadedSize());
  return job.GetDownloadedSize() == job.GetFileSize() ? 0 : 1;
}
