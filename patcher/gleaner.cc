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
  if (!Out || Out->SeekToEnd() != platform::FileError::kNone) return;
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

INT GleanerMain(const std::wstring& CommandLine) {
  // 1. Three paths or nothing at all.
  std::wstring DiffPath, OldPath, OutPath;
  if (!ParseGleanerCommandLine(CommandLine, &DiffPath, &OldPath, &OutPath)) return GLEANER_BAD_COMMAND_LINE;

  // 2. Printed and logged text is in code page 936 (ToGleanerCodePage); the
  // runtime's character type follows suit where the runtime knows it.
  std::setlocale(LC_CTYPE, "chs");

  static FFileManagerWindows FileManager;
  static FOutputDeviceAnsiError Error;
  static FFeedbackContextAnsi Warn;
  static FMallocAnsi Malloc;

  FArchive* OldReader = nullptr;
  FArchive* DiffReader = nullptr;
  FArchive* Writer = nullptr;
  FPackageData* OldPkgData = nullptr;
  FPackageComposite* Composite = nullptr;
  FCompositePkgSaver* Saver = nullptr;
  auto DestroyAll = [&] {
    DeleteQuietly(Saver);
    DeleteQuietly(Composite);
    DeleteQuietly(OldReader);
    DeleteQuietly(DiffReader);
    DeleteQuietly(Writer);
    DeleteQuietly(OldPkgData);
  };

  // 3. From here on a critical error unwinds to the handlers below.
  GIsGuarded = 1;
  try {
    // 4.
    platform::WriteStandardOutput(
        ToGleanerCodePage(appFormat(kStartText, DiffPath.c_str(), OldPath.c_str(), OutPath.c_str())));

    // 5-7. The engine services.
    GFileManager = &FileManager;
    GError = &Error;
    GWarn = &Warn;
    InitGleanerCRCTable(GCRCTable);
    GMalloc = &Malloc;
    GMalloc->Init();
    GFileManager->Init(1);
    GFileManager->SetDefaultDirectory(appBaseDir());
    FName::StaticInit();

    // 8-10.
    OldReader = GFileManager->CreateFileReader(OldPath.c_str(), 0, GError);
    if (!OldReader) GError->Logf(TEXT("Open package file failed:%s!"), OldPath.c_str());
    const UBOOL bEncrypted = OldReader->IsEncrypted();
    DiffReader = GFileManager->CreateFileReader(DiffPath.c_str(), 0, GError);
    if (!DiffReader) GError->Logf(TEXT("Open file failed:%s!"), DiffPath.c_str());

    // 11. The old package, with handlers of its own.
    OldPkgData = new FPackageData(OldReader);
    try {
      OldPkgData->LoadSummary();
    } catch (const TCHAR* Text) {
      LogWide(Text, L" =>  diff file: ", DiffPath, OldPath, OutPath);
      DestroyAll();
      return GLEANER_LOAD_TEXT;
    } catch (...) {
      LogWide(L"", L" =>  diff file: ", DiffPath, OldPath, OutPath);
      DestroyAll();
      return GLEANER_LOAD_FAILED;
    }

    // 12. The old file is closed before the output is created.
    delete OldReader;
    OldReader = nullptr;

    // 13-14.
    Writer = GFileManager->CreateFileWriter(OutPath.c_str(), 0, GError);
    if (!Writer) GError->Logf(TEXT("Open file for saving failed:%s!"), OutPath.c_str());
    if (bEncrypted) Writer->SetDoEncrypt();

    // 15-16.
    if (GGleanerComposeHook) GGleanerComposeHook();
    Composite = new FPackageComposite(DiffReader);
    Composite->Compose(*OldPkgData);
    Saver = new FCompositePkgSaver(Writer, Composite);
    Saver->Save();

    // 17. Deleting the writer flushes and closes the file.
    delete DiffReader;
    DiffReader = nullptr;
    FArchive* Closing = Writer;
    Writer = nullptr;
    delete Closing;

    // 18.
    GIsGuarded = 0;
    platform::WriteStandardOutput(kDoneText);
    delete Saver;
    Saver = nullptr;
    delete Composite;
    Composite = nullptr;
    delete OldPkgData;
    OldPkgData = nullptr;
    GIsStarted = 0;
    return GLEANER_OK;
  } catch (const TCHAR* Text) {
    // 19.
    LogWide(Text, L", diff file: ", DiffPath, OldPath, OutPath);
    DestroyAll();
    GIsGuarded = 0;
    return GLEANER_ENGINE_TEXT;
  } catch (const ANSICHAR* Text) {
    AppendLogLine("loga.log", std::string("exception: ") + Text + ", diff file: " + ToGleanerCodePage(DiffPath) +
                                  ", old file: " + ToGleanerCodePage(OldPath) +
                                  ", temp file: " + ToGleanerCodePage(OutPath));
    DestroyAll();
    GIsGuarded = 0;
    return GLEANER_NARROW_TEXT;
  } catch (...) {
    AppendLogLine("log.log", ToGleanerCodePage(L"exception: diff file: " + DiffPath + L", old file: " + OldPath +
                                               L", temp file: " + OutPath));
    DestroyAll();
    GIsGuarded = 0;
    GError->HandleError();
    return GLEANER_FAILED;
  }
}
