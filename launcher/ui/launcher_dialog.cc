#include "launcher/ui/launcher_dialog.h"

#include <chrono>
#include <utility>

#include "launcher/log/logger.h"
#include "launcher/ui/latency_probe.h"
#include "launcher/update/update_control.h"
#include "launcher/update/update_state.h"
#include "launcher/update/update_thread.h"
#include "launcher/update/version.h"
#include "platform/path.h"
#include "platform/resources.h"
#include "platform/shell.h"

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr size_t kPathBuffer = 260;
const char kServerMissing[] = "Error: Specified server doesn't exist.";
const char kSelectServer[] = "Please select the server";
const char kStartFailed[] = "Start game failed!\r\nError=";
const char kStartFailedCaption[] = "Error!";
const char kVersionLabel[] = "   Ver :";
const char kRepairCaption[] = "Repair game files";
const char kRepairUpdateFailed[] = "The update could not be completed.";
const char kRepairStartFailed[] = "The game could not be started; some of its files may be damaged.";
const char kRepairMenuText[] = "Repair game files...";
const char kRepairChosen[] = "Every game file will be checked.";
const char kRepairBusy[] = "The launcher is still updating; choose the repair again when it has finished.";
const char kRepairQuestion[] =
    "\r\n\r\nCheck every game file now and download only the files that differ from the newest version?";
// The caption of message boxes that name none: the program's.
const char kDefaultCaption[] = "Quillfen";
const platform::Font kServerFont{"Arial", 16, 700};
constexpr int kStringExitStatus = 13;
constexpr int kStringStartupPage = 1006;
constexpr int kStringUpdatePage = 1007;
constexpr int kStringPublisherKey = 803;
// Controls whose double-click starts the game while start is enabled.
constexpr int kDoubleClickStartA = 1004;
constexpr int kDoubleClickStartB = 1006;

const PlacementRow kStartupPlacements[] = {
    {kBrowserId, 1, 49, 127, 550, 478},
    {kVersionTextId, 1, 674, 64, 794, 80},
    {kVersionLabelId, 1, 624, 64, 744, 80},
    {0, 0, 0, 0, 0, 0},
};
const PlacementRow kUpdatePlacements[] = {
    {kBrowserId, 1, 49, 127, 550, 478},
    {kVersionTextId, 1, 674, 64, 794, 80},
    {kVersionLabelId, 1, 624, 64, 744, 80},
    {kProgressId, 1, 58, 555, 489, 576},
    {kStatusTextId, 1, 61, 578, 413, 594},
    {kPercentTextId, 1, 442, 578, 542, 594},
    {kSelectedServerId, 1, 170, 513, 290, 529},
    {0, 0, 0, 0, 0, 0},
};
// The zone and server buttons are given no room: they can be neither seen
// nor clicked, and the selection shows only on the selected-server label.
const ButtonRow kStartupButtons[] = {
    {kTelecomZoneId, 1, 583, 365, 0, 0, 258, 265, 266, 274},
    {kCncZoneId, 1, 703, 365, 0, 0, 263, 261, 262, 273},
    {kStartupButtonId, 1, 515, 508, 214, 93, 268, 270, 269, 271},
    {kExitId, 1, 808, 17, 51, 26, 144, 146, 147, 145},
    {kMinimiseId, 1, 760, 17, 51, 26, 182, 184, 185, 183},
    {kServerButton1Id, 1, 585, 405, 0, 0, 263, 261, 262, 273},
    {kServerButton2Id, 1, 585, 432, 0, 0, 258, 265, 266, 274},
    {kServerButton3Id, 1, 585, 459, 0, 0, 186, 188, 189, 187},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};
const ButtonRow kUpdateButtons[] = {
    {kExitId, 1, 808, 17, 51, 26, 144, 146, 147, 145},
    {kMinimiseId, 1, 760, 17, 51, 26, 182, 184, 185, 183},
    {kStartId, 1, 522, 511, 214, 93, 155, 153, 154, 152},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};

// Shown in the update layout, hidden in the start-up layout.
const int kUpdateOnly[] = {kTelecomZoneId, kCncZoneId,       kProgressId,      kPercentTextId,  kStatusTextId,
                           kSelectedServerId, kServerButton1Id, kServerButton2Id, kServerButton3Id};

// The address that names no page.
const char kNoPage[] = "about:blank";

void FetchNewsPageNow(LauncherDialog* dialog, intptr_t) { dialog->FetchNewsPage(); }
void ShowNewsPage(LauncherDialog* dialog, intptr_t generation) {
  dialog->NewsPageArrived(static_cast<uint64_t>(generation));
}

std::string Limited(std::string path) {
  if (path.size() > kPathBuffer - 1) path.resize(kPathBuffer - 1);
  return path;
}

}  // namespace

const PlacementRow* PlacementRows(Layout layout) {
  return layout == Layout::kStartup ? kStartupPlacements : kUpdatePlacements;
}

const ButtonRow* ButtonRows(Layout layout) { return layout == Layout::kStartup ? kStartupButtons : kUpdateButtons; }

platform::Rect ButtonRect(const ButtonRow& row) {
  return platform::Rect{row.x, row.y, row.x + row.width, row.y + row.height};
}

platform::Rect ButtonRect(Layout layout, int id) {
  for (const ButtonRow* r = ButtonRows(layout); r->id >= 1; ++r) {
    if (r->id == id) return ButtonRect(*r);
  }
  return platform::Rect{};
}

int LayoutBackground(Layout layout) { return layout == Layout::kStartup ? 156 : 267; }

PollAction ActionForState(int32_t state) {
  PollAction a;
  switch (state) {
    case Downloading:
      a.set_bar = a.show_status = a.log = true;
      break;
    case UpToDate:
      a.show_status = a.enable_start = a.enable_exit = a.refresh_version = a.reload_list = a.stop_polling = true;
      a.log = true;
      a.log_suffix = "NOUPDATING";
      break;
    case Preloaded:
      // The installed version is played until the pre-loaded one installs.
      a.show_status = a.enable_start = a.enable_exit = a.refresh_version = a.reload_list = a.stop_polling = true;
      a.log = true;
      break;
    case Installing:
      a.disable_exit = a.log = true;
      break;
    case NoVersionInfo:
    case LatestFetchFailed:
    case UnexpectedError:
    case NetworkError:
    case InfoFetchFailed:
    case SetupFailed:
    case DigestMismatch:
    case PackageFailed:
      a.show_status = a.enable_exit = true;
      break;
    case Succeeded:
      a.show_status = a.refresh_version = a.enable_exit = a.log = true;
      break;
    default:
      break;
  }
  return a;
}

std::string GameDirectory(const std::string& exe_directory) {
  return exe_directory.size() > 5 ? exe_directory.substr(0, exe_directory.size() - 5) : std::string();
}

std::string GameExecutablePath(const std::string& game_directory) {
  return Limited(game_directory + "System" + platform::kPathSep + "Dovra" + platform::kExeSuffix);
}

std::string GameWorkingDirectory(const std::string& game_directory) { return Limited(game_directory + "System"); }

std::string GameParameters(const std::string& address, int port) {
  return "-updated -BishopIP=" + address + " -BishopPort=" + std::to_string(port) + " ";
}

std::string StatusWithPace(const std::string& status, const std::string& pace) {
  return pace.empty() ? status : status + " (" + pace + ")";
}

LauncherServices LauncherServices::Real(const platform::ResourceLibrary* resources) {
  LauncherServices s;
  s.start_engine = [] { return UpdateControl::Instance().Start(); };
  s.stop_engine = [](int32_t state) { UpdateControl::Instance().Stop(state); };
  s.engine_state = [] { return UpdateControl::Instance().GetState(); };
  s.engine_progress = [] { return UpdateControl::Instance().GetProgress(); };
  s.status_text = [](int32_t state) {
    const UpdateControl& control = UpdateControl::Instance();
    return StatusText(state, control.BusyRetryMs(), control.PreloadedUntil());
  };
  s.download_bytes = [](uint64_t* received, uint64_t* size) {
    const UpdateThread* engine = UpdateControl::Instance().Engine();
    if (!engine) return false;
    *received = engine->DownloadedSize();
    *size = engine->FileSize();
    return true;
  };
  s.query_version = [](std::string* version) { return QueryClientVersion(*version); };
  s.start_program = [](const std::string& file, const std::string& parameters, const std::string& directory) {
    return platform::ShellOpen(file, parameters, directory, platform::kShowNormal);
  };
  s.start_probe = [](const std::string& request) { return StartProbe(request); };
  s.end_networking = [] { EndProbeNetworking(); };
  s.resource_string = [resources](int id) { return resources ? resources->LoadResourceString(id) : std::string(); };
  s.channel = UpdateControl::Instance().Channel();
  s.start_repair = [] {
    UpdateControl::Instance().SetRepair(true);
    return UpdateControl::Instance().Start();
  };
  s.repairing = UpdateControl::Instance().Repair();
  return s;
}

bool OffersRepair(int32_t state) { return state == SetupFailed || state == PackageFailed; }

std::string StatusLine(const std::string& status, const std::string& channel) {
  return channel.empty() ? status : status + "  [" + channel + " channel]";
}

LauncherDialog::LauncherDialog(const BitmapSource* bitmaps, LauncherServices services, std::string version_text,
                               std::string exe_directory, const std::string& area_id)
    : SkinDialog(bitmaps),
      services_(std::move(services)),
      version_text_(std::move(version_text)),
      exe_directory_(std::move(exe_directory)),
      list_(ServerList::ListFilePath(exe_directory_, services_.resource_string(515)), area_id, this) {}

LauncherDialog::~LauncherDialog() = default;

platform::Control* LauncherDialog::Find(int id) const { return window() ? window()->Find(id) : nullptr; }

CBmpButton* LauncherDialog::ButtonFor(int id) {
  switch (id) {
    case kStartId: return &start_;
    case kExitId: return &exit_;
    case kStartupButtonId: return &startup_button_;
    case kTelecomZoneId: return &telecom_;
    case kCncZoneId: return &cnc_;
    case kMinimiseId: return &minimise_;
    case kServerButton1Id: return &servers_[0];
    case kServerButton2Id: return &servers_[1];
    case kServerButton3Id: return &servers_[2];
    default: return nullptr;
  }
}

const CBmpButton* LauncherDialog::Button(int id) const { return const_cast<LauncherDialog*>(this)->ButtonFor(id); }

void LauncherDialog::OnCreate(platform::Window& window) {
  SkinDialog::OnCreate(window);
  for (int id : {kStartId, kExitId, kStartupButtonId, kTelecomZoneId, kCncZoneId, kMinimiseId, kServerButton1Id,
                 kServerButton2Id, kServerButton3Id}) {
    if (platform::Control* c = window.Find(id)) ButtonFor(id)->Attach(c);
  }
  browser_.Attach(window.Find(kBrowserId));
  // The repair, reachable at any time: the window's context menu.
  if (services_.start_repair) window.SetContextMenu({{kRepairMenuId, kRepairMenuText}});

  // 1. No title bar, a minimise box, the icon.
  window.RemoveTitleBar();
  window.SetIconResource(kLauncherIcon);
  SetKeyColor(platform::kPureGreen);
  ShapeFromImage(true);
  // 2. The zone buttons check one another.
  zones_.Add(&telecom_);
  zones_.Add(&cnc_);
  // 3. Version, its label, exit and minimise, the start button's frames.
  if (platform::Control* c = Find(kVersionTextId)) {
    c->SetTextColor(platform::kWhite);
    c->SetText(version_text_);
    c->Show(true);
  }
  if (platform::Control* c = Find(kVersionLabelId)) {
    c->SetTextColor(platform::kWhite);
    c->SetText(kVersionLabel);
    c->Show(true);
  }
  for (int id : {kStatusTextId, kPercentTextId, kSelectedServerId}) {
    if (platform::Control* c = Find(id)) c->SetTextColor(platform::kWhite);
  }
  if (platform::Control* c = Find(kExitId)) c->Show(true);
  if (platform::Control* c = Find(kMinimiseId)) c->Show(true);
  start_.SetFrames(*bitmaps(), {190, 191, 192, 193, 194});
  start_.Flash(true);
  // 4. The game's title.
  window.SetTitle(kTitle);
  // 5. to 8.
  ApplyLayout(Layout::kStartup);
  list_.LoadEntries(true);
  if (closing_) return;  // the fixed server does not exist
  for (CBmpButton& b : servers_) b.SetFont(kServerFont);
  UpdateStartStep();
}

void LauncherDialog::OnDestroy() {
  news_fetch_.Cancel();
  start_.Flash(false);
  SkinDialog::OnDestroy();
}

void LauncherDialog::ApplyLayout(Layout layout) {
  const bool update = layout == Layout::kUpdate;
  LoadBackground(LayoutBackground(layout));
  for (const PlacementRow* r = PlacementRows(layout); r->id >= 1; ++r) {
    platform::Control* c = Find(r->id);
    if (!c) continue;
    c->Move(platform::Rect{r->left, r->top, r->right, r->bottom});
    c->Show(r->shown != 0);
  }
  for (const ButtonRow* r = ButtonRows(layout); r->id >= 1; ++r) {
    platform::Control* c = Find(r->id);
    CBmpButton* b = ButtonFor(r->id);
    if (!c || !b) continue;
    c->Move(ButtonRect(*r));
    if (!b->LoadImages(*bitmaps(), r->normal, r->pressed, r->hover, r->checked, platform::kPureGreen)) {
      LogWarn() << "button " << r->id << " images missing";
    }
    b->SetDrawStyle(1);
    if (r->enabled == 0) c->Enable(false);
  }
  for (int id : kUpdateOnly) {
    if (platform::Control* c = Find(id)) c->Show(update);
  }
  if (platform::Control* c = Find(kStartupButtonId)) {
    c->Enable(false);
    c->Show(!update);
  }
  if (platform::Control* c = Find(kStartId)) {
    c->Enable(false);
    c->Show(update);
  }
  if (!update) {
    list_.StartLatencyProbes(services_.start_probe);
    window()->SetTimer(kListTimer, kListPeriodMs);
  } else {
    list_.RestoreSelection();
    if (closing_) return;
    if (platform::Control* bar = Find(kProgressId)) {
      bar->SetRange(0, 100);
      bar->SetPosition(0);
    }
    if (platform::Control* c = Find(kPercentTextId)) c->SetText("0%");
    if (platform::Control* c = Find(kStatusTextId)) c->SetText("");
  }
  news_wanted_ = services_.resource_string(update_layout_ ? kStringUpdatePage : kStringStartupPage);
  if (!news_posted_ && window()) {
    news_posted_ = true;
    window()->Post(platform::kUiCallMessage, reinterpret_cast<uintptr_t>(&FetchNewsPageNow), 0);
  }
}

void LauncherDialog::FetchNewsPage() {
  news_posted_ = false;
  if (closing_ || news_wanted_ == news_url_) return;
  news_url_ = news_wanted_;
  const uint64_t generation = ++news_generation_;
  news_fetch_.Cancel();
  if (news_url_.empty() || news_url_ == kNoPage) {
    browser_.ShowPage("", "");
    return;
  }
  platform::Window* w = window();
  news_fetch_.Start(news_url_, services_.resource_string(kStringPublisherKey), [this, w, generation](NewsPage page) {
    {
      std::lock_guard<std::mutex> hold(news_mutex_);
      news_ready_ = std::move(page);
      news_ready_generation_ = generation;
    }
    w->Post(platform::kUiCallMessage, reinterpret_cast<uintptr_t>(&ShowNewsPage),
            static_cast<intptr_t>(generation));
  });
}

void LauncherDialog::NewsPageArrived(uint64_t generation) {
  NewsPage page;
  {
    std::lock_guard<std::mutex> hold(news_mutex_);
    if (generation != news_ready_generation_ || generation != news_generation_) return;
    page = std::move(news_ready_);
    news_ready_ = NewsPage();
  }
  if (closing_) return;
  // A refused page leaves the pane blank.
  browser_.ShowPage(page.Shown() ? page.page : std::string(), page.url);
}

void LauncherDialog::UpdateStartStep() {
  SelectedServerSection = "CNCZone1";
  update_layout_ = 1;
  ApplyLayout(Layout::kUpdate);
  if (closing_) return;
  LogInfo() << "set timer ...";
  window()->SetTimer(kPollTimer, kPollPeriodMs);
  services_.start_engine();
  LogInfo() << "set timer end...";
}

void LauncherDialog::OnTimer(int id) {
  if (id == kListTimer) {
    if (window() && Find(kStartId)) {
      list_.LoadEntries(false);
      if (!closing_) list_.Select(-1, -1);
    }
    if (window()) window()->KillTimer(kListTimer);
    return;
  }
  Poll();
}

void LauncherDialog::Poll() {
  const int32_t state = services_.engine_state();
  const float progress = services_.engine_progress();
  const int percent = static_cast<int>(progress);  // the fraction cut off
  const PollAction a = ActionForState(state);
  // The pace is measured while the package downloads and shown only then.
  std::string pace;
  uint64_t received = 0, size = 0;
  if (state == Downloading && services_.download_bytes && services_.download_bytes(&received, &size)) {
    const int64_t now = services_.clock_ms ? services_.clock_ms() : SteadyMs();
    meter_.Sample(now, received, size);
    pace = meter_.Text(now);
  } else {
    meter_.Reset();
  }
  if (a.set_bar) {
    if (platform::Control* bar = Find(kProgressId)) bar->SetPosition(percent);
  }
  if (a.show_status) {
    const std::string status =
        services_.status_text ? services_.status_text(state) : std::string(UpdateStateText(state));
    ShowStatus(StatusLine(StatusWithPace(status, pace), services_.channel));
    ShowPercent(percent);
  }
  if (a.enable_start) {
    if (platform::Control* c = Find(kStartId)) c->Enable(true);
  }
  if (a.enable_exit) {
    if (platform::Control* c = Find(kExitId)) c->Enable(true);
  }
  if (a.disable_exit) {
    if (platform::Control* c = Find(kExitId)) c->Enable(false);
  }
  if (a.refresh_version || a.reload_list) {
    UpdateControlLock hold;
    if (a.refresh_version) RefreshVersion();
    if (a.reload_list) {
      list_.LoadEntries(false);
      if (!closing_) list_.Select(-1, -1);
    }
  }
  if (a.stop_polling && window()) window()->KillTimer(kPollTimer);
  if (a.log) LogInfo() << UpdateStateText(state) << ",Rate:" << progress << a.log_suffix;
  if (OffersRepair(state)) OfferRepair(kRepairUpdateFailed);
}

bool LauncherDialog::OfferRepair(const std::string& why) {
  if (repair_offered_ || services_.repairing || !services_.start_repair || closing_ || !window()) return false;
  // Set before asking: the box runs the window's messages, polls among them.
  repair_offered_ = true;
  return AskAndRepair(why);
}

void LauncherDialog::RepairChosen() {
  if (!services_.start_repair || closing_ || !window()) return;
  if (!IsFinalState(services_.engine_state())) {
    window()->ShowMessage(kRepairBusy, kRepairCaption);
    return;
  }
  repair_offered_ = true;
  AskAndRepair(kRepairChosen);
}

bool LauncherDialog::AskAndRepair(const std::string& why) {
  if (!window()->AskYesNo(why + kRepairQuestion, kRepairCaption)) {
    LogInfo() << "repair offered, declined";
    return false;
  }
  if (closing_ || !window()) return false;
  LogInfo() << "repair chosen by the player";
  services_.repairing = true;
  if (platform::Control* c = Find(kStartId)) c->Enable(false);
  window()->SetTimer(kPollTimer, kPollPeriodMs);
  services_.start_repair();
  return true;
}

// REQUIRES: the update-control lock is held.
void LauncherDialog::RefreshVersion() {
  std::string version;
  services_.query_version(&version);
  if (platform::Control* c = Find(kVersionTextId)) {
    c->SetText(version);
    c->Show(false);
    c->Show(true);
  }
}

void LauncherDialog::OnCommand(int control_id, int notification) {
  if (notification == platform::kButtonDoubleClicked) {
    if (control_id == kDoubleClickStartA || control_id == kDoubleClickStartB) {
      platform::Control* start = Find(kStartId);
      if (start && start->IsEnabled()) StartGame();
    }
    return;
  }
  if (notification == platform::kMenuChosen) {
    if (control_id == kRepairMenuId) RepairChosen();
    return;
  }
  if (notification != platform::kButtonClicked) return;
  switch (control_id) {
    case kStartId: StartGame(); break;
    case kExitId: Exit(); break;
    case kMinimiseId:
      if (window()) window()->Minimise();
      break;
    case kCncZoneId: list_.Select(0, -1); break;
    case kTelecomZoneId: list_.Select(1, -1); break;
    case kServerButton1Id: list_.Select(-1, 0); break;
    case kServerButton2Id: list_.Select(-1, 1); break;
    case kServerButton3Id: list_.Select(-1, 2); break;
    default: break;
  }
}

void LauncherDialog::ReshowButtons() {
  const int zone = list_.Zone();
  cnc_.SetChecked(zone == 0);
  cnc_.Repaint();
  telecom_.SetChecked(zone == 1);
  telecom_.Repaint();
  for (int i = 0; i < ServerList::kSlotsPerZone; ++i) {
    if (platform::Control* c = servers_[i].control()) c->SetText(list_.Slot(zone * ServerList::kSlotsPerZone + i).text);
    servers_[i].SetChecked(false);
    servers_[i].Repaint();
  }
  const int selected = list_.SelectedSlot();
  const bool valid = selected >= 0 && selected < ServerList::kSlotCount;
  if (valid && selected / ServerList::kSlotsPerZone == zone && !list_.Slot(selected).text.empty()) {
    servers_[selected % ServerList::kSlotsPerZone].SetChecked(true);
    servers_[selected % ServerList::kSlotsPerZone].Repaint();
  }
  if (platform::Control* c = Find(kSelectedServerId)) {
    c->SetText(valid ? list_.Slot(selected).text : std::string());
    c->Repaint();
  }
}

void LauncherDialog::FixedServerError(bool at_startup) {
  if (at_startup && window()) window()->ShowMessage(kServerMissing, kDefaultCaption);
  Exit();
}

void LauncherDialog::StartGame() {
  if (closing_) return;
  if (list_.FixedMode() && list_.FixedNumber() < 0) {
    LogInfo() << "pUniteZone range error.";
    Exit();
    return;
  }
  // A fixed server is started whatever is selected: in fixed mode the
  // selection may well be an empty slot (a remembered slot of the other
  // zone), and the game must start all the same.
  if (!list_.FixedMode() && (SelectedServerSection.empty() || SelectedServerSection == "none")) {
    if (window()) window()->ShowMessage(kSelectServer, kDefaultCaption);
    return;
  }
  std::string file, directory, parameters;
  {
    UpdateControlLock hold;
    std::string address;
    int port = 0;
    if (!list_.LookupServer(&address, &port)) {
      Exit();
      return;
    }
    const std::string game = GameDirectory(exe_directory_);
    file = GameExecutablePath(game);
    directory = GameWorkingDirectory(game);
    parameters = GameParameters(address, port);
  }
  LogInfo() << parameters << " param" << list_.Path() << " :filename";
  const int result = services_.start_program(file, parameters, directory);
  if (result > 32) {
    Exit();
    return;
  }
  if (window()) window()->ShowMessage(kStartFailed + std::to_string(result), kStartFailedCaption);
  OfferRepair(kRepairStartFailed);
}

void LauncherDialog::Exit() {
  if (closing_) return;
  closing_ = true;
  ShowStatus(services_.resource_string(kStringExitStatus));
  services_.stop_engine(UnexpectedError);
  LogInfo() << "kill timer...";
  RequestClose(kExitCode);
  services_.end_networking();
}

namespace {

void SetStatusText(void* argument) {
  auto* args = static_cast<UiTextArgs*>(argument);
  if (!args->control) return;
  args->control->SetText(args->text);
  args->control->Repaint();
}

void EndDialog(LauncherDialog* dialog, intptr_t code) {
  if (dialog->window()) dialog->window()->EndModal(static_cast<int>(code));
}

}  // namespace

void LauncherDialog::ShowStatus(const std::string& text) {
  platform::Window* w = window();
  if (!w) return;
  UiTextArgs args{w->Find(kStatusTextId), text};
  UiCallArgs call{&SetStatusText, &args};
  w->Send(platform::kUiOpMessage, kUiOpCall, reinterpret_cast<intptr_t>(&call));
}

void LauncherDialog::ShowPercent(int32_t percent) {
  platform::Window* w = window();
  if (!w) return;
  UiPositionArgs position{w->Find(kProgressId), percent};
  w->Send(platform::kUiOpMessage, kUiOpSetPosition, reinterpret_cast<intptr_t>(&position));
  UiTextArgs text{w->Find(kPercentTextId), std::to_string(percent) + "%"};
  UiCallArgs call{&SetStatusText, &text};
  w->Send(platform::kUiOpMessage, kUiOpCall, reinterpret_cast<intptr_t>(&call));
}

void LauncherDialog::RequestClose(int code) {
  if (platform::Window* w = window()) {
    w->Post(platform::kUiCallMessage, reinterpret_cast<uintptr_t>(&EndDialog), code);
  }
}

intptr_t LauncherDialog::OnMessage(unsigned message, uintptr_t wparam, intptr_t lparam) {
  if (message == platform::kUiCallMessage) {
    if (wparam) reinterpret_cast<UiCallFunction>(wparam)(this, lparam);
    return 0;
  }
  if (message != platform::kUiOpMessage || lparam == 0) return 0;
  platform::Window* w = window();
  switch (wparam) {
    case kUiOpRunDialog: {
      auto* a = reinterpret_cast<UiRunDialogArgs*>(lparam);
      const int result = a->resources ? platform::RunDialog(*a->resources, a->template_id, a->dialog) : -1;
      if (a->result) *a->result = result;
      return 0;
    }
    case kUiOpSetText: {
      auto* a = reinterpret_cast<UiTextArgs*>(lparam);
      if (a->control) {
        a->control->SetText(a->text);
      } else if (w) {
        w->SetTitle(a->text);
      }
      return 0;
    }
    case kUiOpSetPosition: {
      auto* a = reinterpret_cast<UiPositionArgs*>(lparam);
      if (a->bar) a->bar->SetPosition(a->position);
      return 0;
    }
    case kUiOpShow: {
      auto* a = reinterpret_cast<UiShowArgs*>(lparam);
      if (a->control) {
        a->control->Show(a->show_command != 0);
      } else if (w) {
        w->Show(a->show_command != 0);
      }
      return 0;
    }
    case kUiOpMove: {
      auto* a = reinterpret_cast<UiMoveArgs*>(lparam);
      if (a->control) {
        a->control->Move(a->rect);
        a->control->Repaint();
      } else if (w) {
        w->Move(a->rect);
        w->Repaint();
      }
      return 0;
    }
    case kUiOpMessageBox: {
      auto* a = reinterpret_cast<UiMessageBoxArgs*>(lparam);
      if (w) w->ShowMessage(a->text, a->caption);
      return 0;
    }
    case kUiOpCall: {
      auto* a = reinterpret_cast<UiCallArgs*>(lparam);
      if (a->function) a->function(a->argument);
      return 0;
    }
    default: return 0;  // 7 and above
  }
}
