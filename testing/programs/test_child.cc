// A small program for process tests:
//   test_child OUT_FILE EXIT_CODE [SLEEP_MS] [ARGS...]
// writes its current directory and then every argument, one per line, to
// OUT_FILE ("-": standard output), sleeps, and exits with EXIT_CODE.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  if (argc > 3) std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[3])));
  const bool to_stdout = std::string(argv[1]) == "-";
  if (FILE* f = to_stdout ? stdout : std::fopen(argv[1], "wb")) {
    std::error_code ec;
    std::fprintf(f, "%s\n", std::filesystem::current_path(ec).string().c_str());
    for (int i = 0; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
    if (to_stdout) std::fflush(f);
    else std::fclose(f);
  }
  return std::atoi(argv[2]);
}
