#include "platform/process.h"

#include "platform/env.h"

namespace platform {

std::unique_ptr<Process> StartProcess(const std::string& command_line, const std::string& working_dir) {
  return StartProcess(command_line, working_dir, std::string());
}

std::unique_ptr<Process> StartProcess(const std::string& command_line, const std::string& working_dir,
                                      const std::string& output_path) {
  return CurrentEnv().StartProcess(ProcessStart{command_line, working_dir, output_path, std::string(), false});
}

std::unique_ptr<Process> StartTiedProcess(const std::string& command_line, const std::string& working_dir,
                                          const std::string& output_path) {
  return CurrentEnv().StartProcess(ProcessStart{command_line, working_dir, output_path, std::string(), true});
}

std::unique_ptr<Process> StartProcessFromImage(const std::string& image_path, const std::string& command_line,
                                               const std::string& working_dir) {
  if (image_path.empty()) return nullptr;
  return CurrentEnv().StartProcess(ProcessStart{command_line, working_dir, std::string(), image_path, false});
}

void SleepMs(int ms) { CurrentEnv().SleepMs(ms); }

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  size_t i = 0, n = line.size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };

  // The program name: quotes group, backslashes are literal.
  while (i < n && blank(line[i])) ++i;
  if (i >= n) return args;
  {
    std::string prog;
    bool quoted = false;
    for (; i < n; ++i) {
      char c = line[i];
      if (c == '"') {
        quoted = !quoted;
      } else if (blank(c) && !quoted) {
        break;
      } else {
        prog += c;
      }
    }
    args.push_back(prog);
  }

  for (;;) {
    while (i < n && blank(line[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      char c = line[i];
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg += '"';  // "" inside quotes is a literal quote
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (blank(c) && !quoted) break;
      arg += c;
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    if (c == '"') {
      out.append(slashes * 2 + 1, '\\');
    } else {
      out.append(slashes, '\\');
    }
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, '\\');
  out += '"';
  return out;
}

}  // namespace platform
