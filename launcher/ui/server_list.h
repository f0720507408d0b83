// The server list: which game server the game is started against.
//
// The servers are listed in an INI file in the game directory:
//
//   [ServerSection]
//   Server0=CNCZone1        ; list entry 0 is described by section CNCZone1
//   Server1=TelecomZone1
//   LastServer=CNCZone1     ; written by the launcher at game start
//   [CNCZone1]
//   ShowText=North 1
//   BishopIP=10.0.0.1
//   BishopPort=7000
//
// The list is read from Server0 on and ends at the first value shorter than
// two characters, after at most 100 keys. List index N goes to slot N of six
// slots: 0 to 2 are buttons 1 to 3 of the CNC zone, 3 to 5 those of the
// Telecom zone; later entries are only probed for latency.
//
// With "-AreaId=<N>" on the command line the launcher is pinned to list
// entry N (fixed mode): only that entry is loaded, and the game starts against
// it whatever button is selected.
//
// Every read and write goes through the profile service, so a missing file,
// section or key gives the defaults: an empty list, empty texts, port 0. The
// file is read anew by every operation.
//
// The launcher window owns one ServerList, uses it on its own thread only,
// and implements ServerListObserver to hear from it. Its calls, in order:
//
//   start-up layout    list.StartLatencyProbes([](const std::string& r) { return StartProbe(r); });
//   window set-up      list.LoadEntries(true);
//   update start step  SelectedServerSection = "CNCZone1";
//   update layout      list.RestoreSelection();
//   timer 2, state 5   list.LoadEntries(false); list.Select(-1, -1);  // re-show, selection kept
//   button clicks      list.Select(zone, -1) / list.Select(-1, i);
//   game start         if (!list.LookupServer(&ip, &port)) exit;
//   exit               EndProbeNetworking();
#ifndef LAUNCHER_UI_SERVER_LIST_H_
#define LAUNCHER_UI_SERVER_LIST_H_

#include <functional>
#include <string>

// Section name of the selected server; the game start reads it. The window
// sets it to "CNCZone1" before the buttons are first shown; after that every
// re-show sets it to the section of the selected slot (possibly empty).
// Main thread only.
extern std::string SelectedServerSection;

// What the server list tells its owner (the launcher window).
class ServerListObserver {
 public:
  virtual ~ServerListObserver() = default;

  // The selection changed or the buttons need showing again. The owner shows
  // Zone() on the zone buttons, the display texts of slots Zone() * 3 + 0..2
  // on the three server buttons, checks the button of SelectedSlot() when it
  // lies in the current zone and has a display text, and shows the selected
  // slot's display text on the selected-server label. SelectedServerSection
  // is already up to date when this is called.
  virtual void ReshowButtons() = 0;

  // The fixed server number names no listed server ("pUniteZone range
  // error." is already logged). When `at_startup` is true (the first load,
  // at window set-up) the owner shows the message box "Error: Specified
  // server doesn't exist." and then exits; otherwise (a refresh, a restore)
  // it exits without a message box. The call may come from inside
  // LoadEntries or RestoreSelection; nothing of the list is touched after it.
  // LookupServer reports the same error by its result instead.
  virtual void FixedServerError(bool at_startup) = 0;
};

struct ServerEntry {
  std::string section;  // the section describing this server, empty for an unused slot
  std::string text;     // the server's ShowText, shown on its button
  // The text with the latency of the last load ("North 1  23Pin Good"); the
  // window shows `text` on the button and may show this where it likes.
  std::string label;
};

class ServerList {
 public:
  static constexpr int kSlotCount = 6;
  static constexpr int kSlotsPerZone = 3;
  static constexpr int kMaxListEntries = 100;

  // Path of the list file: the game directory (the launcher's own directory
  // `exe_directory`, with its trailing separator, less its last five
  // characters: the launcher runs from "<game>temp\") followed by
  // `file_name` (string 515 of the resource library), limited to 259
  // characters.
  static std::string ListFilePath(const std::string& exe_directory, const std::string& file_name);

  // The label of an entry whose probe result is `latency`: "%s Unknown" for a
  // negative value or one of 999999 and more, else "%s %3dPin Good" below
  // 100, "Medium" below 200, "Bad" above (values above 999 shown as 999).
  static std::string LatencyLabel(const std::string& text, int latency);

  // `path` is the list file; `area_id` the text after "-AreaId=" (empty
  // without the option), whose leading integer is the fixed server number.
  // `observer` may be null (nothing is told) and must outlive the list.
  ServerList(std::string path, const std::string& area_id, ServerListObserver* observer);

  const std::string& Path() const { return path_; }
  bool FixedMode() const { return fixed_mode_; }
  int FixedNumber() const { return fixed_number_; }

  // Fills the slots from the file, in fixed or normal mode (all slots are
  // emptied first). `at_startup` is true for the load at window set-up and
  // false for every refresh. In normal mode logs "PING MSG--: " with each
  // read entry's probe result; entries whose result exceeds 999 have it
  // lowered to 999 in ProbeResults when their label is made. A fixed-mode
  // error goes to the observer.
  void LoadEntries(bool at_startup);

  // Chooses zone and slot when the update layout is shown, from the fixed
  // number or from LastServer, and selects them (Select re-shows). A
  // fixed-mode error goes to the observer.
  void RestoreSelection();

  // Zone -1 or slot -1 leave that value. The zone becomes `zone` (0 or 1,
  // anything else 0); the selected slot becomes Zone() * 3 + slot (0..5,
  // anything else 0). Then SelectedServerSection becomes the selected slot's
  // section and the observer re-shows the buttons.
  void Select(int zone, int slot);

  // At game start. Normal mode: writes SelectedServerSection to LastServer.
  // Fixed mode: SelectedServerSection becomes the value of Server<N>, and
  // LastServer is left alone. Then reads BishopIP (up to 19 characters) and
  // BishopPort (default 0) of that section. False on a fixed-mode error (the
  // log line is written, the observer is not told); the caller exits.
  bool LookupServer(std::string* address, int* port);

  // Calls start(request) for every list entry from Server0 until the list
  // ends, after setting its ProbeResults entry to -1; the request is
  // "<BishopIP> <index>". Returns the number of entries.
  int StartLatencyProbes(const std::function<int(const std::string&)>& start);

  int Zone() const { return zone_ == 1 ? 1 : 0; }
  int SelectedSlot() const { return slot_; }
  const ServerEntry& Slot(int i) const { return slots_[i]; }  // REQUIRES: 0 <= i < kSlotCount

 private:
  std::string ReadListKey(int n) const;
  std::string ReadShowText(const std::string& section) const;
  void StoreSlot(int n, const std::string& section, const std::string& text);
  void LoadFixed(bool at_startup);
  void RangeError(bool at_startup, bool notify);

  std::string path_;
  bool fixed_mode_ = false;
  int fixed_number_ = 0;
  ServerListObserver* observer_;
  int zone_ = 0;
  int slot_ = 0;
  ServerEntry slots_[kSlotCount];
};

#endif  // LAUNCHER_UI_SERVER_LIST_H_
