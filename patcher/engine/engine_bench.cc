// Timed runs of the file layer for scripts/bench.d/engine.sh:
//   engine_bench compress <file>     <file> -> <file>.uz2
//   engine_bench decompress <file>   <file>.uz2 -> <file>.out
//   engine_bench read <file>         reads <file> as INTs through the reader
// Prints the seconds taken.
#include <cstdio>
#include <cstring>
#include <string>

#include "patcher/engine/file_manager_windows.h"
#include "platform/wide_text.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  FFileManagerWindows FileManager;
  GFileManager = &FileManager;
  const std::wstring File = platform::AnsiToWide(argv[2]);
  const DOUBLE Start = appSeconds();
  if (!std::strcmp(argv[1], "compress")) {
    if (FileManager.Copy(File.c_str(), File.c_str(), 1, 0, 0, FILECOPY_Compress) != COPY_OK) return 1;
  } else if (!std::strcmp(argv[1], "decompress")) {
    if (FileManager.Copy((File + L".out").c_str(), File.c_str(), 1, 0, 0, FILECOPY_Decompress) != COPY_OK) return 1;
  } else if (!std::strcmp(argv[1], "read")) {
    FArchive* Ar = FileManager.CreateFileReader(File.c_str());
    if (!Ar) return 1;
    DWORD Sum = 0;
    for (INT i = 0; i + 4 <= Ar->TotalSize(); i += 4) {
      DWORD V;
      *Ar << V;
      Sum += V;
    }
    delete Ar;
    std::printf("sum %u\n", Sum);
  } else {
    return 2;
  }
  std::printf("%.4f\n", appSeconds() - Start);
  return 0;
}
