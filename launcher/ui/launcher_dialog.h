// The launcher window: drives the update engine, shows its progress, keeps
// the server choice and starts the game once the client is up to date.
//
// The window runs on the main thread. The engine and the latency probes run
// on threads of their own: the window polls the engine on timer 1, and other
// threads reach the window only through UpdateNotifySink, whose operations
// travel as kUiOpMessage (sent) and kUiCallMessage (posted).
//
// The decisions the window takes (its layout tables, what each engine state
// does, the game's command line) are plain functions and data below, so they
// can be checked without a display.
#ifndef LAUNCHER_UI_LAUNCHER_DIALOG_H_
#define LAUNCHER_UI_LAUNCHER_DIALOG_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "launcher/ui/bmp_button.h"
#include "launcher/ui/flash_bmp_button.h"
#include "launcher/ui/news_page.h"
#include "launcher/ui/server_list.h"
#include "launcher/ui/skin_dialog.h"
#include "launcher/ui/transfer_rate.h"
#include "launcher/ui/web_browser.h"
#include "platform/gui.h"

namespace platform {
class ResourceLibrary;
}

// Control identifiers of the window's template.
enum LauncherControl : int {
  kBrowserId = 1001,
  kStartId = 1010,
  kExitId = 1011,
  kStartupButtonId = 1012,
  kStatusTextId = 1014,
  kPercentTextId = 1015,
  kVersionTextId = 1016,
  kVersionLabelId = 1018,
  kSelectedServerId = 1020,
  kProgressId = 1048,
  kTelecomZoneId = 1058,
  kCncZoneId = 1059,
  kMinimiseId = 1070,
  kServerButton1Id = 1071,
  kServerButton2Id = 1072,
  kServerButton3Id = 1073,
  // Not in the template: the context menu's entry.
  kRepairMenuId = 40001,
};

// The dialog template, the window icon and the window's timers.
constexpr int kLauncherDialogTemplate = 9;
constexpr int kLauncherIcon = 128;
constexpr int kPollTimer = 1;
constexpr int kPollPeriodMs = 100;
constexpr int kListTimer = 2;
constexpr int kListPeriodMs = 5000;
// The code the modal run ends with through Exit.
constexpr int kExitCode = 2;

enum class Layout { kStartup, kUpdate };

// A control moved to a rectangle (window pixels, right and bottom exclusive)
// and hidden when `shown` is 0.
struct PlacementRow {
  int id;
  int shown;
  int left, top, right, bottom;
};

// A button moved to (x, y, width, height), given its four images (normal,
// pressed, hover, checked; draw style 1, key colour pure green) and disabled
// when `enabled` is 0.
struct ButtonRow {
  int id;
  int enabled;
  int x, y, width, height;
  int normal, pressed, hover, checked;
};

// The rows of a layout, in the order they are applied. Each list ends with a
// row whose id is below 1.
const PlacementRow* PlacementRows(Layout layout);
const ButtonRow* ButtonRows(Layout layout);

// The rectangle (window pixels, right and bottom exclusive) a row moves its
// button to.
platform::Rect ButtonRect(const ButtonRow& row);
// The rectangle of button `id` in `layout`; empty when the layout places no
// such button.
platform::Rect ButtonRect(Layout layout, int id);

// The background bitmap of a layout.
int LayoutBackground(Layout layout);

// What one poll of the engine does for state S.
struct PollAction {
  bool set_bar = false;          // the progress bar to P
  bool show_status = false;      // Show status(message(S)) and Show percent(P)
  bool enable_start = false;
  bool enable_exit = false;
  bool disable_exit = false;
  bool refresh_version = false;  // query the client version under the lock and show it
  bool reload_list = false;      // reload the server entries and re-show the buttons
  bool stop_polling = false;
  bool log = false;              // INFO: message(S) ",Rate:" P, then log_suffix
  const char* log_suffix = "";
};
PollAction ActionForState(int32_t state);

// The game directory seen from the launcher's directory: `exe_directory`
// (with its trailing separator) less its last five characters, the "temp"
// and separator the launcher runs from.
std::string GameDirectory(const std::string& exe_directory);
// "<game>System\Dovra.exe" with the system's separator and program suffix,
// and "<game>System"; each limited to 259 characters.
std::string GameExecutablePath(const std::string& game_directory);
std::string GameWorkingDirectory(const std::string& game_directory);
// "-updated -BishopIP=<address> -BishopPort=<port> " (the last field, which
// nothing fills, leaves the trailing blank).
std::string GameParameters(const std::string& address, int port);

// The status line while downloading: the state's text followed by the pace
// in brackets, "Updating client (1.2 MB/s, 0:42 left)"; the text alone
// without a pace.
std::string StatusWithPace(const std::string& status, const std::string& pace);

// How status reaches the window from any thread.
class UpdateNotifySink {
 public:
  virtual ~UpdateNotifySink() = default;
  // Sets the status text and repaints it (sent: returns once shown).
  virtual void ShowStatus(const std::string& text) = 0;
  // Sets the progress bar and the percentage text "<percent>%" (sent).
  virtual void ShowPercent(int32_t percent) = 0;
  // Ends the dialog with `code` (posted: returns at once).
  virtual void RequestClose(int code) = 0;
};

// Argument records of kUiOpMessage, by operation (wParam). A null control
// means the window itself. Operations 7 and above are ignored.
enum UiOp : uintptr_t {
  kUiOpRunDialog = 0,
  kUiOpSetText = 1,
  kUiOpSetPosition = 2,
  kUiOpShow = 3,
  kUiOpMove = 4,
  kUiOpMessageBox = 5,
  kUiOpCall = 6,
};
struct UiRunDialogArgs {
  const platform::ResourceLibrary* resources;
  int template_id;
  platform::WindowDelegate* dialog;
  int* result;  // may be null
};
struct UiTextArgs {
  platform::Control* control;
  std::string text;
};
struct UiPositionArgs {
  platform::Control* bar;
  int position;
};
struct UiShowArgs {
  platform::Control* control;
  int show_command;  // 0 hides
};
struct UiMoveArgs {
  platform::Control* control;
  platform::Rect rect;
};
struct UiMessageBoxArgs {
  std::string text;
  std::string caption;
  int type;
};
struct UiCallArgs {
  void (*function)(void* argument);
  void* argument;
};

class LauncherDialog;
// The function a kUiCallMessage carries in wParam; lParam is its argument.
using UiCallFunction = void (*)(LauncherDialog* dialog, intptr_t argument);

// What the window needs from the rest of the launcher. Real() gives the
// process's engine, version library, shell and probes; tests give fakes.
struct LauncherServices {
  std::function<bool()> start_engine;
  std::function<void(int32_t state)> stop_engine;
  std::function<int32_t()> engine_state;
  std::function<float()> engine_progress;
  // The status line for a state (StatusText of update_state.h); the state's
  // text when unset.
  std::function<std::string(int32_t state)> status_text;
  // The current download's bytes received and its size; false when there is
  // no download. Unset: the status line shows no rate.
  std::function<bool(uint64_t* received, uint64_t* size)> download_bytes;
  // Milliseconds on a clock that only goes forward; the steady clock when
  // unset.
  std::function<int64_t()> clock_ms;
  // Called while the update-control lock is held.
  std::function<bool(std::string* version)> query_version;
  std::function<int(const std::string& file, const std::string& parameters, const std::string& directory)>
      start_program;
  std::function<int(const std::string& request)> start_probe;
  std::function<void()> end_networking;
  // Strings of the resource library.
  std::function<std::string(int id)> resource_string;
  // The player's update channel, shown on the status line (StatusLine);
  // empty for the default channel, which shows nothing.
  std::string channel;
  // Starts the engine afresh in repair mode: every file of the install is
  // checked against the newest version and those that differ are fetched.
  // Unset: the window never offers a repair.
  std::function<bool()> start_repair;
  // The engine already runs in repair mode (started with "-c repair").
  bool repairing = false;

  static LauncherServices Real(const platform::ResourceLibrary* resources);
};

// Whether the window offers the player a repair when the engine ends in
// `state`: a failed install or setup, which a file of the install may have
// caused; not a network failure, which a repair could not get past either.
bool OffersRepair(int32_t state);

// The status line the window shows: the engine's status text and, for a
// channel other than the default, the channel ("...  [beta channel]").
std::string StatusLine(const std::string& status, const std::string& channel);

class LauncherDialog : public SkinDialog, public UpdateNotifySink, private ServerListObserver {
 public:
  static constexpr const char kTitle[] = "Dovra: Glass Frontier";

  // `exe_directory` is the launcher's directory with its trailing separator,
  // `area_id` the "-AreaId=" value (empty without it). REQUIRES: `bitmaps`
  // outlives the dialog.
  LauncherDialog(const BitmapSource* bitmaps, LauncherServices services, std::string version_text,
                 std::string exe_directory, const std::string& area_id);
  ~LauncherDialog() override;

  // Window events.
  void OnCreate(platform::Window& window) override;
  void OnDestroy() override;
  void OnCommand(int control_id, int notification) override;
  void OnTimer(int id) override;
  bool OnKey(int key) override { return true; }  // Enter and Escape do nothing
  void OnClose() override { Exit(); }
  intptr_t OnMessage(unsigned message, uintptr_t wparam, intptr_t lparam) override;

  // UpdateNotifySink, from any thread while the window exists.
  void ShowStatus(const std::string& text) override;
  void ShowPercent(int32_t percent) override;
  void RequestClose(int code) override;

  void StartGame();
  void Exit();
  // Asks the player once per window whether to check and repair the install
  // (`why` says what went wrong); on Yes starts the repair and polls it. False
  // when nothing was asked (asked before, repairing already, no repair to
  // offer, closing) or the player said No.
  bool OfferRepair(const std::string& why);
  // The context menu's repair: asked for (again) whenever the engine has
  // ended; while it works the player is told to wait.
  void RepairChosen();

  // The news page fetched for the pane has arrived (posted by the fetch's
  // thread): shows it unless a later page was asked for since.
  void NewsPageArrived(uint64_t generation);
  // Starts fetching the page the current layout names (posted by the layout,
  // so that only the last of several layouts in a row fetches).
  void FetchNewsPage();

  bool update_layout() const { return update_layout_ != 0; }
  const ServerList& server_list() const { return list_; }
  // The button objects (for tests that check their images and checks).
  const CBmpButton* Button(int id) const;

 private:
  void ApplyLayout(Layout layout);
  void UpdateStartStep();
  void Poll();
  // Asks the repair question with `why` in front; on Yes starts the repair.
  bool AskAndRepair(const std::string& why);
  void RefreshVersion();
  platform::Control* Find(int id) const;
  CBmpButton* ButtonFor(int id);

  void ReshowButtons() override;
  void FixedServerError(bool at_startup) override;

  LauncherServices services_;
  std::string version_text_;
  std::string exe_directory_;
  ServerList list_;
  TransferMeter meter_;  // the download's pace, while the state is Downloading
  uint8_t update_layout_ = 0;
  bool closing_ = false;
  bool repair_offered_ = false;

  CWebBrowser2 browser_;
  CFlashBmpButton start_;
  CBmpButton exit_, startup_button_, telecom_, cnc_, minimise_;
  CBmpButton servers_[3];
  ButtonGroup zones_;

  // The pane's page: the address the layout names, the one fetched, and the
  // result the fetch's thread hands over.
  std::string news_wanted_;
  std::string news_url_;
  bool news_posted_ = false;
  uint64_t news_generation_ = 0;
  std::mutex news_mutex_;
  NewsPage news_ready_;
  uint64_t news_ready_generation_ = 0;
  // Last, so that it goes first: its thread uses the members above.
  NewsPageFetch news_fetch_;
};

#endif  // LAUNCHER_UI_LAUNCHER_DIALOG_H_
