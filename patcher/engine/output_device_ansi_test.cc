#include "patcher/engine/output_device_ansi.h"

#include <string>

#include "gtest/gtest.h"
#include "patcher/engine/malloc_ansi.h"
#include "testing/engine_test_util.h"

namespace {

using engine_test::FGuardedScope;
using engine_test::History;

void Inner() {
  guard(InnerStep);
  appErrorf(TEXT("Bad thing %i"), 7);
  unguard;
}

void Middle() {
  guard(MiddleStep);
  Inner();
  unguard;
}

void Outer() {
  guard(OuterStep);
  Middle();
  unguard;
}

TEST(ErrorDevice, GuardLabelsInnermostFirst) {
  FGuardedScope Guarded;
  EXPECT_THROW(Outer(), int);
  EXPECT_EQ(History(), L"Bad thing 7\r\n\r\nHistory: InnerStep <- MiddleStep <- OuterStep");
  EXPECT_TRUE(GIsCriticalError);
  ASSERT_EQ(Guarded.Log.Lines.size(), 1u);
  EXPECT_EQ(Guarded.Log.Lines[0].first, L"Bad thing 7");
  EXPECT_EQ(Guarded.Log.Lines[0].second, NAME_Critical);
}

void RaisesEngineText() {
  guard(TextStep);
  throw LocalizeError(TEXT("Aborted"), TEXT("FPackageData"));
  unguard;
}

void RaisesNarrowText() {
  guard(NarrowStep);
  throw "narrow";
  unguard;
}

TEST(ErrorDevice, EngineTextPassesGuardsUnlabelled) {
  FGuardedScope Guarded;
  try {
    RaisesEngineText();
    FAIL();
  } catch (const TCHAR* Text) {
    EXPECT_STREQ(Text, LocalizeError(TEXT("Aborted"), TEXT("FPackageData")));
  }
  EXPECT_EQ(History(), L"");
  EXPECT_THROW(RaisesNarrowText(), const char*);
  EXPECT_EQ(History(), L"NarrowStep");
}

TEST(ErrorDevice, ReentryIsLoggedAndStillRaises) {
  FGuardedScope Guarded;
  EXPECT_THROW(appErrorf(TEXT("first")), int);
  EXPECT_THROW(appErrorf(TEXT("second")), int);
  ASSERT_EQ(Guarded.Log.Lines.size(), 2u);
  EXPECT_EQ(Guarded.Log.Lines[1].first, L"Error reentered: second");
  EXPECT_EQ(History(), L"first\r\n\r\nHistory: ");
}

TEST(ErrorDevice, FailedCheckNamesExpressionAndSource) {
  FGuardedScope Guarded;
  EXPECT_THROW(appFailAssert("OldPos < OldPkgData.NameMap.Num()", "Gleaner", 42), int);
  EXPECT_EQ(History(), L"Assertion failed: OldPos < OldPkgData.NameMap.Num() [File:Gleaner] [Line: 42]\r\n\r\n"
                       L"History: ");
}

TEST(ErrorDevice, FinalHandlingPrintsTheHistory) {
  FGuardedScope Guarded;
  EXPECT_THROW(Outer(), int);
  GIsGuarded = 0;
  GIsRunning = 1;
  testing::internal::CaptureStdout();
  GError->HandleError();
  std::string Out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(Out, "Bad thing 7\r\n\r\nHistory: InnerStep <- MiddleStep <- OuterStep\n\nExiting due to error\n");
  EXPECT_FALSE(GIsRunning);
  EXPECT_FALSE(GIsGuarded);
  EXPECT_TRUE(GIsCriticalError);
}

void RaisesFriendly() {
  guard(FriendlyStep);
  GError->Logf(NAME_FriendlyError, TEXT("Bad name index %i/%i."), 9, 3);
  unguard;
}

TEST(ErrorDevice, FriendlyErrorHistoryEndsAfterTheMessage) {
  FGuardedScope Guarded;
  FOutputDeviceAnsiError Device;
  FOutputDeviceError* Saved = GError;
  GError = &Device;
  EXPECT_THROW(RaisesFriendly(), int);
  GIsGuarded = 0;
  testing::internal::CaptureStdout();
  Device.HandleError();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Bad name index 9/3.\r\n\r\n\n\nExiting due to error\n");
  GError = Saved;
}

INT ExitCode = -1;
void RecordExit(INT Code) { ExitCode = Code; }

TEST(ErrorDevice, UnguardedErrorHandlesAtOnceAndRequestsExit) {
  FGuardedScope Guarded;
  GIsGuarded = 0;
  GForcedExitHook = RecordExit;
  testing::internal::CaptureStdout();
  appErrorf(TEXT("unguarded"));
  std::string Out = testing::internal::GetCapturedStdout();
  GForcedExitHook = nullptr;
  EXPECT_EQ(ExitCode, 1);
  EXPECT_EQ(Out, "unguarded\r\n\r\n\n\nExiting due to error\n");
}

class FContext : public FContextSupplier {
 public:
  FString GetContext() override { return FString(TEXT("Obj")); }
};

TEST(FeedbackContext, EventFormats) {
  engine_test::FRecordingDevice Log, Aux;
  FOutputDevice* SavedLog = GLog;
  GLog = &Log;
  FFeedbackContextAnsi Warn(&Aux);
  FContext Context;
  testing::internal::CaptureStdout();
  Warn.Log(NAME_Warning, TEXT("plain"));
  Warn.SetContext(&Context);
  Warn.Log(NAME_Warning, TEXT("careful"));
  Warn.Log(NAME_Error, TEXT("broken"));
  Warn.Log(NAME_Silent, TEXT("hidden"));
  Warn.Log(NAME_Title, TEXT("Title"));
  Warn.Log(NAME_Heading, TEXT("Loading"));
  Warn.Log(NAME_Progress, TEXT("50%"));
  Warn.Log(TEXT("line"));
  std::string Out = testing::internal::GetCapturedStdout();
  GLog = SavedLog;
  const std::string Title = std::string(32, '-') + "Title" + std::string(33, '-');
  EXPECT_EQ(Out, "plain\nObj : Warning, careful\nObj : Error, broken\n" + Title + "\nLoading...\n50%\rline\n");
  EXPECT_EQ(Warn.WarningCount, 2);
  EXPECT_EQ(Warn.ErrorCount, 1);
  // Silent and progress lines go nowhere else.
  ASSERT_EQ(Log.Lines.size(), 6u);
  EXPECT_EQ(Aux.Lines.size(), 6u);
  EXPECT_EQ(Log.Lines[1].first, L"Obj : Warning, careful");
}

TEST(FeedbackContext, SlowTasksAndQuestions) {
  FFeedbackContextAnsi Warn;
  EXPECT_TRUE(Warn.YesNof(TEXT("Overwrite %s?"), TEXT("x")));
  Warn.BeginSlowTask(TEXT("a"), 0);
  Warn.BeginSlowTask(TEXT("b"), 0);
  Warn.EndSlowTask();
  EXPECT_TRUE(GIsSlowTask);
  Warn.EndSlowTask();
  EXPECT_FALSE(GIsSlowTask);
  FGuardedScope Guarded;
  EXPECT_THROW(Warn.EndSlowTask(), int);
  EXPECT_NE(History().find(L"SlowTaskCount>0"), std::wstring::npos);
}

TEST(Localize, KnownAndUnknownKeys) {
  EXPECT_STREQ(LocalizeError(TEXT("History"), TEXT("Core")), TEXT("History"));
  EXPECT_STRNE(LocalizeError(TEXT("ExportIndex")), TEXT(""));
  EXPECT_STREQ(LocalizeError(TEXT("Nope"), TEXT("Core")), TEXT("<Core.Nope>"));
  EXPECT_EQ(LocalizeError(TEXT("Nope"), TEXT("Core")), LocalizeError(TEXT("Nope"), TEXT("Core")));
}

TEST(Malloc, ReallocRules) {
  FMallocAnsi M;
  EXPECT_EQ(M.Realloc(nullptr, 0, TEXT("t")), nullptr);
  EXPECT_EQ(M.Realloc(reinterpret_cast<void*>(16), 0, TEXT("t")), nullptr);
  void* P = M.Realloc(reinterpret_cast<void*>(16), 8, TEXT("t"));
  ASSERT_NE(P, nullptr);
  P = M.Realloc(P, 4096, TEXT("t"));
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(M.Realloc(P, 0, TEXT("t")), nullptr);
  M.HeapCheck();
}

TEST(CommandLine, ParseParam) {
  EXPECT_TRUE(ParseParam(TEXT("x -auto y"), TEXT("auto")));
  EXPECT_TRUE(ParseParam(TEXT("/AUTO"), TEXT("auto")));
  EXPECT_TRUE(ParseParam(TEXT("\"a b\" \"-auto\""), TEXT("auto")));
  EXPECT_FALSE(ParseParam(TEXT("-automatic"), TEXT("auto")));
  EXPECT_FALSE(ParseParam(TEXT("auto"), TEXT("auto")));
}

TEST(Format, EngineTextConversions) {
  EXPECT_EQ(appFormat(TEXT("%s/%i/%c/%5.1f/%%/0x%d"), TEXT("ab"), -3, L'z', 2.75, 31),
            L"ab/-3/z/  2.8/%/0x31");
  std::wstring Long(5000, L'q');
  EXPECT_EQ(appFormat(TEXT("%s!"), Long.c_str()), Long + L"!");
}

}  // namespace
