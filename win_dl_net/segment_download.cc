// segment_download DIR URL [JOURNAL]
//
// Runs one download job the way the update engine does: Init, Start, Wait.
// The package goes to DIR; the journal is JOURNAL (default: Download.xml
// beside this program). Prints the size and the bytes on disk; exit code 0
// when the file is complete, 1 when not, 2 when the job cannot run.
// Used by the tests (a process to kill) and the benchmarks.
#include <cstdio>
#include <string>

#include "launcher/log/logger.h"
#include "win_dl_net/segment_policy.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: segment_download DIR URL [JOURNAL]\n");
    return 2;
  }
  SegmentPolicy job(argv[1], argv[2]);
  if (argc > 3) job.SetJournalPath(argv[3]);
  if (!job.Init()) {
    std::fprintf(stderr, "SegmentPolicy init error\n");
    return 2;
  }
  if (!job.Start()) return 2;
  job.Wait();
  std::printf("%u %u\n", job.GetFileSize(), job.GetDownloadedSize());
  return job.GetDownloadedSize() == job.GetFileSize() ? 0 : 1;
}
