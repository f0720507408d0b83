#include "patcher/gleaner.h"

#include <clocale>
#include <memory>

#include "patcher/composite_pkg_saver.h"
#include "patcher/engine/file_manager_windows.h"
#include "patcher/engine/malloc_ansi.h"
#include "patcher/engine/output_device_ansi.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/wide_text.h"

void (*GGleanerComposeHook)() = nullptr;

namespace {

// "更新文件: 差异文件(%s),旧版本文件(%s),输出新版本文件(%s)\n"
const TCHAR kStartText[] = L"\u66f4\u65b0\u6587\u4ef6: \u5dee\u5f02\u6587\u4ef6(%s),\u65e7\u7248\u672c\u6587\u4ef6(%s),"
                           L"\u8f93\u51fa\u65b0\u7248\u672c\u6587\u4ef6(%s)\n";
// "更新文件完毕\n" in code page 936.
const char kDoneText[] = "\xB8\xFC\xD0\xC2\xCE\xC4\xBC\xFE\xCD\xEA\xB1\xCF\n";

enum { kCodePage = 936 };

// Appends one line to a log file in the current directory: opened for
// appending in shared mode, the line written as text, closed. A line the
// disk refuses is lost; the log never fails the patch.
void AppendLogLine(const char* FileName, const std::string& Line) {
  platform::FileOpenOptions Options;
  Options.disposition = platform::FileDisposition::kOpenAlways;
  Options.share_read = true;
  Options.share_write = true;
  std::unique_ptr<platform::File> Out = platform::OpenFile(FileName, Options);
  if (!Out || Out->SeekToEnd() != platform::Status::kOk) return;
  std::string Text;
  for (char C : Line + '\n') {
    if (C == '\n') Text += platform::kTextLineEnd;
    else Text += C;
  }
  Out->Write(Text.data(), Text.size());
}

// "exception: " + Middle + Separator + the three paths, for "log.log".
void LogWide(const std::wstring& Text, const std::wstring& Separator, const std::wstring& Diff,
             const std::wstring& Old, const std::wstring& Out) {
  AppendLogLine("log.log", ToGleanerCodePage(L"exception: " + Text + Separator + Diff + L", old file: " + Old +
                                             L", temp file: " + Out));
}

template <class T>
void DeleteQuietly(T*& Object) {
  try {
    T* Doomed = Object;
    Object = nullptr;
    delete Doomed;
  } catch (...) {
  }
}

}  // namespace

bool ParseGleanerCommandLine(const std::wstring& CommandLine, std::wstring* DiffPath, std::wstring* OldPath,
                             std::wstring* OutPath) {
  std::wstring* Targets[3] = {DiffPath, OldPath, OutPath};
  int Taken = -1;  // the program's own path comes first
  size_t Start = 0;
  while (Start <= CommandLine.size() && Taken < 3) {
    size_t End = CommandLine.find(L'"', Start);
    if (End == std::wstring::npos) End = CommandLine.size();
    std::wstring Piece = CommandLine.substr(Start, End - Start);
    Start = End + 1;
    if (Piece.empty() || Piece[0] == L' ') continue;
    if (Taken >= 0) {
      if (Piece.size() >= GLEANER_PATH_SIZE) return false;
      *Targets[Taken] = Piece;
    }
    ++Taken;
  }
  return Taken == 3;
}

const char kGleanerUsage[] =
    "usage: Gleaner \"DIFFERENCE_FILE\" \"OLD_PACKAGE\" \"NEW_PACKAGE\"\n"
    "  Composes NEW_PACKAGE from the difference file and the player's old engine\n"
    "  package and writes it; each path in double quotes.\n"
    "  Exit code 0 when the package was written.\n";

bool IsGleanerHelpRequest(const std::wstring& CommandLine) {
  size_t At = 0;
  while (At < CommandLine.size() && CommandLine[At] == L' ') ++At;
  if (At < CommandLine.size() && CommandLine[At] == L'"') {
    const size_t Close = CommandLine.find(L'"', At + 1);
    if (Close == std::wstring::npos) return false;
    At = Close + 1;
  } else {
    At = CommandLine.find(L' ', At);
    if (At == std::wstring::npos) return false;
  }
  const size_t First = CommandLine.find_first_not_of(L' ', At);
  if (First == std::wstring::npos) return false;
  const size_t Last = CommandLine.find_last_not_of(L' ');
  std::wstring Rest = CommandLine.substr(First, Last - First + 1);
  // Quoted or not: a lone argument is never a run, which takes three paths.
  if (Rest.size() >= 2 && Rest.front() == L'"' && Rest.back() == L'"') Rest = Rest.substr(1, Rest.size() - 2);
  return Rest == L"--help" || Rest == L"-h" || Rest == L"/?";
}

void InitGleanerCRCTable(DWORD Table[256]) {
  for (DWORD i = 0; i < 256; ++i) {
    DWORD C = i << 24;
    for (int k = 0; k < 8; ++k) C = (C & 0x80000000u) ? (C << 1) ^ 0x04C11DB7u : C << 1;
    Table[i] = C;
  }
}

std::string ToGleanerCodePage(const std::wstring& Text) {
  std::u16string Units;
  for (wchar_t W : Text) {
    const DWORD C = static_cast<DWORD>(W);
    if (C > 0xFFFF && C <= 0x10FFFF) {
      Units += static_cast<char16_t>(0xD800 | ((C - 0x10000) >> 10));
      Units += static_cast<char16_t>(0xDC00 | ((C - 0x10000) & 0x3FF));
    } else {
      Units += static_cast<char16_t>(C > 0xFFFF ? 0xFFFD : C);
    }
  }
  std::string Out;
  bool Lossy = false;
  if (!platform::FromUtf16(kCodePage, Units, &Out, &Lossy)) return appToAnsi(Text.c_str());
  return Out;
}

namespace {

// The three paths of the command line.
struct FGleanerPaths {
  std::wstring Diff, Old, Out;
};

// Deletes an engine object, swallowing what its destructor raises: the
// clean-up after a failure.
struct FQuietDelete {
  template <class T>
  void operator()(T* Object) const {
    DeleteQuietly(Object);
  }
};
template <class T>
using TOwned = std::unique_ptr<T, FQuietDelete>;

// Deletes an object now, letting what its destructor raises through: on the
// way to success, a file that cannot be closed (a writer that cannot flush)
// fails the run.
template <class T>
void DeleteNow(TOwned<T>& Object) {
  delete Object.release();
}

// What a run creates. Whatever is left when the run ends is deleted quietly,
// on every path: the saver and the composite first (they use the others),
// then the old reader, the difference reader, the writer (which closes the
// output) and the old package.
struct FGleanerObjects {
  // Declared in the reverse of that order: members go in reverse.
  TOwned<FPackageData> OldPkgData;
  TOwned<FArchive> Writer;
  TOwned<FArchive> DiffReader;
  TOwned<FArchive> OldReader;
  TOwned<FPackageComposite> Composite;
  TOwned<FCompositePkgSaver> Saver;

  // Deletes everything now, in that order.
  void ReleaseAll() {
    Saver.reset();
    Composite.reset();
    OldReader.reset();
    DiffReader.reset();
    Writer.reset();
    OldPkgData.reset();
  }
};

// The engine services the run installs; they live as long as the program.
struct FGleanerServices {
  FFileManagerWindows FileManager;
  FOutputDeviceAnsiError Error;
  FFeedbackContextAnsi Warn;
  FMallocAnsi Malloc;
};

FGleanerServices& GleanerServices() {
  static FGleanerServices Services;
  return Services;
}

void PrintStartLine(const FGleanerPaths& Paths) {
  platform::WriteStandardOutput(
      ToGleanerCodePage(appFormat(kStartText, Paths.Diff.c_str(), Paths.Old.c_str(), Paths.Out.c_str())));
}

void StartEngine(FGleanerServices& Services) {
  GFileManager = &Services.FileManager;
  GError = &Services.Error;
  GWarn = &Services.Warn;
  InitGleanerCRCTable(GCRCTable);
  GMalloc = &Services.Malloc;
  GMalloc->Init();
  GFileManager->Init(1);
  GFileManager->SetDefaultDirectory(appBaseDir());
  FName::StaticInit();
}

// Opens the old package and the difference file; a file that cannot be
// opened is a critical error. Returns whether the old package is enciphered.
UBOOL OpenInputs(const FGleanerPaths& Paths, FGleanerObjects& Objects) {
  Objects.OldReader.reset(GFileManager->CreateFileReader(Paths.Old.c_str(), 0, GError));
  if (!Objects.OldReader) GError->Logf(TEXT("Open package file failed:%s!"), Paths.Old.c_str());
  const UBOOL bEncrypted = Objects.OldReader->IsEncrypted();
  Objects.DiffReader.reset(GFileManager->CreateFileReader(Paths.Diff.c_str(), 0, GError));
  if (!Objects.DiffReader) GError->Logf(TEXT("Open file failed:%s!"), Paths.Diff.c_str());
  return bEncrypted;
}

// Loads the old package's summary, with handlers of its own: a failure there
// is logged and gives its own exit code. GLEANER_OK when it loaded.
INT LoadOldPackage(const FGleanerPaths& Paths, FGleanerObjects& Objects) {
  Objects.OldPkgData.reset(new FPackageData(Objects.OldReader.get()));
  try {
    Objects.OldPkgData->LoadSummary();
  } catch (const TCHAR* Text) {
    LogWide(Text, L" =>  diff file: ", Paths.Diff, Paths.Old, Paths.Out);
    return GLEANER_LOAD_TEXT;
  } catch (...) {
    LogWide(L"", L" =>  diff file: ", Paths.Diff, Paths.Old, Paths.Out);
    return GLEANER_LOAD_FAILED;
  }
  return GLEANER_OK;
}

// Creates the output, enciphered when the old package is; a file that cannot
// be created is a critical error.
void CreateWriter(const FGleanerPaths& Paths, UBOOL bEncrypted, FGleanerObjects& Objects) {
  Objects.Writer.reset(GFileManager->CreateFileWriter(Paths.Out.c_str(), 0, GError));
  if (!Objects.Writer) GError->Logf(TEXT("Open file for saving failed:%s!"), Paths.Out.c_str());
  if (bEncrypted) Objects.Writer->SetDoEncrypt();
}

void ComposeAndSave(FGleanerObjects& Objects) {
  if (GGleanerComposeHook) GGleanerComposeHook();
  Objects.Composite.reset(new FPackageComposite(Objects.DiffReader.get()));
  Objects.Composite->Compose(*Objects.OldPkgData);
  Objects.Saver.reset(new FCompositePkgSaver(Objects.Writer.get(), Objects.Composite.get()));
  Objects.Saver->Save();
}

// The guarded run, from the start line to the done line. Critical errors and
// raised texts pass to GleanerMain's handlers.
INT RunGuarded(const FGleanerPaths& Paths, FGleanerObjects& Objects) {
  PrintStartLine(Paths);
  StartEngine(GleanerServices());
  const UBOOL bEncrypted = OpenInputs(Paths, Objects);
  const INT Loaded = LoadOldPackage(Paths, Objects);
  if (Loaded != GLEANER_OK) {
    Objects.ReleaseAll();
    return Loaded;
  }
  // The old file is closed before the output is created (it may be the same
  // file).
  DeleteNow(Objects.OldReader);
  CreateWriter(Paths, bEncrypted, Objects);
  ComposeAndSave(Objects);
  // Deleting the writer flushes and closes the file.
  DeleteNow(Objects.DiffReader);
  DeleteNow(Objects.Writer);

  GIsGuarded = 0;
  platform::WriteStandardOutput(kDoneText);
  DeleteNow(Objects.Saver);
  DeleteNow(Objects.Composite);
  DeleteNow(Objects.OldPkgData);
  GIsStarted = 0;
  return GLEANER_OK;
}

// The end of a run that failed after the start: everything deleted, the
// guard lowered.
INT EndFailedRun(FGleanerObjects& Objects, INT Code) {
  Objects.ReleaseAll();
  GIsGuarded = 0;
  return Code;
}

// "exception: " + the narrow text and the three paths, for "loga.log".
void LogNarrowText(const ANSICHAR* Text, const FGleanerPaths& Paths) {
  AppendLogLine("loga.log", std::string("exception: ") + Text + ", diff file: " + ToGleanerCodePage(Paths.Diff) +
                                ", old file: " + ToGleanerCodePage(Paths.Old) +
                                ", temp file: " + ToGleanerCodePage(Paths.Out));
}

// "exception: " and the three paths, for "log.log".
void LogFailure(const FGleanerPaths& Paths) {
  AppendLogLine("log.log", ToGleanerCodePage(L"exception: diff file: " + Paths.Diff + L", old file: " + Paths.Old +
                                             L", temp file: " + Paths.Out));
}

}  // namespace

INT GleanerMain(const std::wstring& CommandLine) {
  if (IsGleanerHelpRequest(CommandLine)) {
    platform::WriteStandardOutput(kGleanerUsage);
    return GLEANER_OK;
  }
  // Three paths or nothing at all.
  FGleanerPaths Paths;
  if (!ParseGleanerCommandLine(CommandLine, &Paths.Diff, &Paths.Old, &Paths.Out)) return GLEANER_BAD_COMMAND_LINE;

  // Printed and logged text is in code page 936 (ToGleanerCodePage); the
  // runtime's character type follows suit where the runtime knows it.
  std::setlocale(LC_CTYPE, "chs");
  GleanerServices();

  FGleanerObjects Objects;
  // From here on a critical error unwinds to the handlers below.
  GIsGuarded = 1;
  try {
    return RunGuarded(Paths, Objects);
  } catch (const TCHAR* Text) {
    LogWide(Text, L", diff file: ", Paths.Diff, Paths.Old, Paths.Out);
    return EndFailedRun(Objects, GLEANER_ENGINE_TEXT);
  } catch (const ANSICHAR* Text) {
    LogNarrowText(Text, Paths);
    return EndFailedRun(Objects, GLEANER_NARROW_TEXT);
  } catch (...) {
    LogFailure(Paths);
    EndFailedRun(Objects, GLEANER_FAILED);
    GError->HandleError();
    return GLEANER_FAILED;
  }
}
