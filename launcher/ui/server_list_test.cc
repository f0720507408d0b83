#include "launcher/ui/server_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/log/logger.h"
#include "launcher/ui/latency_probe.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "platform/testing.h"

namespace {

// Sends the process log to a file of a temporary directory for one test.
class LogCapture {
 public:
  LogCapture() { Logger::Instance().Init("T", dir_.Path(), Logger::kToFile, 200, 1000000); }
  ~LogCapture() { Logger::Instance().Init("T", dir_.Path(), 0, 200, 1000000); }
  std::string Text() const {
    std::string text;
    platform::ReadFileToString(Logger::Instance().CurrentFileName(), &text);
    return text;
  }
  // The texts of the lines written, without thread, level and time.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::string text = Text();
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t at = 0;
      for (int spaces = 0; spaces < 3 && at != std::string::npos; ++spaces) at = line.find(' ', at + 1);
      lines.push_back(at == std::string::npos ? line : line.substr(at + 1));
    }
    return lines;
  }
  // Lines starting with `prefix`.
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : Lines()) n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  int CountExact(const std::string& text) const {
    int n = 0;
    for (const std::string& line : Lines()) n += line == text;
    return n;
  }

 private:
  platform::testing::TempDir dir_;
};

class RecordingObserver : public ServerListObserver {
 public:
  void ReshowButtons() override { ++reshows; }
  void FixedServerError(bool at_startup) override { errors.push_back(at_startup); }
  int reshows = 0;
  std::vector<bool> errors;
};

// Server<i> = sections[i]; each section gets ShowText "Show <section>",
// BishopIP "10.0.0.<i>" and BishopPort 7000 + i.
std::string ListFile(const std::vector<std::string>& sections, const std::string& last_server = "") {
  std::string text = "[ServerSection]\r\n";
  for (size_t i = 0; i < sections.size(); ++i) text += "Server" + std::to_string(i) + "=" + sections[i] + "\r\n";
  if (!last_server.empty()) text += "LastServer=" + last_server + "\r\n";
  for (size_t i = 0; i < sections.size(); ++i) {
    text += "[" + sections[i] + "]\r\nShowText=Show " + sections[i] + "\r\nBishopIP=10.0.0." + std::to_string(i) +
            "\r\nBishopPort=" + std::to_string(7000 + i) + "\r\n";
  }
  return text;
}

const std::vector<std::string> kSix = {"CNCZone1",     "CNCZone2",     "CNCZone3",
                                       "TelecomZone1", "TelecomZone2", "TelecomZone3"};

class ServerListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "serverlist.ini";
    SelectedServerSection = "CNCZone1";
    for (auto& r : ProbeResults) r.store(-1);
  }
  void Write(const std::string& text) { ASSERT_TRUE(platform::WriteStringToFile(path_, text)); }
  std::string Last() { return platform::ProfileString("ServerSection", "LastServer", "<none>", path_); }

  platform::testing::TempDir dir_;
  std::string path_;
  RecordingObserver observer_;
};

TEST(ServerListPathTest, GameDirectoryIsTheLaunchersLessTemp) {
  std::string sep(1, platform::kPathSep);
  EXPECT_EQ(ServerList::ListFilePath("C:" + sep + "Game" + sep + "temp" + sep, "servers.ini"),
            "C:" + sep + "Game" + sep + "servers.ini");
  EXPECT_EQ(ServerList::ListFilePath("abc", "s.ini"), "s.ini");
  EXPECT_EQ(ServerList::ListFilePath(std::string(300, 'd') + "temp" + sep, "s.ini").size(), 259u);
}

TEST(ServerListLabelTest, Bands) {
  EXPECT_EQ(ServerList::LatencyLabel("A", -1), "A Unknown");
  EXPECT_EQ(ServerList::LatencyLabel("A", 7), "A   7Pin Good");
  EXPECT_EQ(ServerList::LatencyLabel("A", 99), "A  99Pin Good");
  EXPECT_EQ(ServerList::LatencyLabel("A", 100), "A 100Pin Medium");
  EXPECT_EQ(ServerList::LatencyLabel("A", 199), "A 199Pin Medium");
  EXPECT_EQ(ServerList::LatencyLabel("A", 200), "A 200Pin Bad");
  EXPECT_EQ(ServerList::LatencyLabel("A", 5000), "A 999Pin Bad");
  EXPECT_EQ(ServerList::LatencyLabel("A", 999999), "A Unknown");
}

TEST_F(ServerListTest, MissingOrShortFirstEntryGivesAnEmptyList) {
  for (const std::string& file : {std::string(), std::string("[ServerSection]\r\nServer0=C\r\nServer1=CNCZone2\r\n")}) {
    if (!file.empty()) Write(file);
    LogCapture log;
    ServerList list(path_, "", &observer_);
    list.LoadEntries(true);
    for (int i = 0; i < ServerList::kSlotCount; ++i) {
      EXPECT_EQ(list.Slot(i).section, "");
      EXPECT_EQ(list.Slot(i).text, "");
    }
    EXPECT_EQ(log.Count("PING MSG--: "), 0);
    list.RestoreSelection();
    EXPECT_EQ(SelectedServerSection, "");  // the game start then asks for a server
    std::string ip = "x";
    int port = -5;
    EXPECT_TRUE(list.LookupServer(&ip, &port));
    EXPECT_EQ(ip, "");
    EXPECT_EQ(port, 0);
  }
}

TEST_F(ServerListTest, TenServersFillSixSlotsAndLogSevenProbeResults) {
  std::vector<std::string> ten = kSix;
  for (int i = 6; i < 10; ++i) ten.push_back("Extra" + std::to_string(i));
  Write(ListFile(ten));
  ProbeResults[0].store(42);
  ProbeResults[1].store(1500);
  ProbeResults[6].store(77);
  LogCapture log;
  ServerList list(path_, "", &observer_);
  list.LoadEntries(true);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(list.Slot(i).section, kSix[i]);
    EXPECT_EQ(list.Slot(i).text, "Show " + kSix[i]);
  }
  EXPECT_EQ(list.Slot(0).label, "Show CNCZone1  42Pin Good");
  EXPECT_EQ(list.Slot(1).label, "Show CNCZone2 999Pin Bad");
  EXPECT_EQ(list.Slot(2).label, "Show CNCZone3 Unknown");
  EXPECT_EQ(ProbeResults[1].load(), 999);  // lowered in the table
  EXPECT_EQ(log.Count("PING MSG--: "), 7);
  EXPECT_EQ(log.CountExact("PING MSG--: 77"), 1);
  EXPECT_TRUE(observer_.errors.empty());

  // Every entry is probed, each after its result was reset.
  std::vector<std::string> requests;
  ProbeResults[9].store(12);
  EXPECT_EQ(list.StartLatencyProbes([&](const std::string& r) {
    requests.push_back(r);
    return 0;
  }),
            10);
  ASSERT_EQ(requests.size(), 10u);
  EXPECT_EQ(requests[0], "10.0.0.0 0");
  EXPECT_EQ(requests[9], "10.0.0.9 9");
  EXPECT_EQ(ProbeResults[9].load(), -1);
}

TEST_F(ServerListTest, OneCharacterValueEndsTheList) {
  Write("[ServerSection]\r\nServer0=CNCZone1\r\nServer1=CNCZone2\r\nServer2=X\r\nServer3=TelecomZone1\r\n");
  ServerList list(path_, "", &observer_);
  list.LoadEntries(true);
  EXPECT_EQ(list.Slot(1).section, "CNCZone2");
  EXPECT_EQ(list.Slot(2).section, "");
  EXPECT_EQ(list.Slot(3).section, "");
  EXPECT_EQ(list.StartLatencyProbes([](const std::string&) { return 0; }), 2);
}

TEST_F(ServerListTest, ReloadForgetsEntriesNoLongerListed) {
  Write(ListFile(kSix));
  ServerList list(path_, "", &observer_);
  list.LoadEntries(true);
  Write(ListFile({"CNCZone1"}));
  list.LoadEntries(false);
  EXPECT_EQ(list.Slot(0).section, "CNCZone1");
  EXPECT_EQ(list.Slot(1).section, "");
  EXPECT_EQ(list.Slot(5).text, "");
}

TEST_F(ServerListTest, LastServerChoosesZoneAndButton) {
  struct Case {
    std::string last;
    int zone, slot;
  } cases[] = {
      {"TelecomZone3", 1, 5}, {"TelecomZone1", 1, 3}, {"CNCZone2", 0, 1}, {"", 0, 0},
      {"XZone2", 0, 0},       {"CNCZone", 0, 0},      {"TelecomZone0", 0, 0},
      {"TelecomZone9", 1, 0},  // 3 + 8 is no slot
  };
  for (const Case& c : cases) {
    Write(ListFile(kSix, c.last));
    LogCapture log;
    ServerList list(path_, "", &observer_);
    list.LoadEntries(true);
    list.Select(1, 2);  // start away from the expected result
    list.RestoreSelection();
    EXPECT_EQ(list.Zone(), c.zone) << c.last;
    EXPECT_EQ(list.SelectedSlot(), c.slot) << c.last;
    EXPECT_EQ(SelectedServerSection, kSix[c.slot]) << c.last;
    bool remembered = !c.last.empty() && (c.last[0] == 'C' || c.last[0] == 'T') && c.last.back() > '0' &&
                      c.last.back() <= '9';
    EXPECT_EQ(log.CountExact(remembered ? "RefreshList In InitUI B" : "RefreshList In InitUI B Default"), 1)
        << c.last;
  }
}

TEST_F(ServerListTest, SelectClampsAndReshows) {
  Write(ListFile(kSix));
  ServerList list(path_, "", &observer_);
  list.LoadEntries(true);
  list.Select(1, 1);
  EXPECT_EQ(list.SelectedSlot(), 4);
  EXPECT_EQ(SelectedServerSection, "TelecomZone2");
  list.Select(0, -1);  // zone only: the slot stays in the other zone
  EXPECT_EQ(list.Zone(), 0);
  EXPECT_EQ(list.SelectedSlot(), 4);
  list.Select(7, -1);
  EXPECT_EQ(list.Zone(), 0);
  list.Select(-1, 2);
  EXPECT_EQ(list.SelectedSlot(), 2);
  list.Select(1, 3);  // 6 is no slot
  EXPECT_EQ(list.SelectedSlot(), 0);
  list.Select(-1, -5);
  EXPECT_EQ(list.SelectedSlot(), 0);
  EXPECT_EQ(observer_.reshows, 6);
}

TEST_F(ServerListTest, NormalModeRemembersTheChoice) {
  Write(ListFile(kSix, "CNCZone1"));
  ServerList list(path_, "", &observer_);
  list.LoadEntries(true);
  list.Select(1, 2);
  std::string ip;
  int port = 0;
  ASSERT_TRUE(list.LookupServer(&ip, &port));
  EXPECT_EQ(ip, "10.0.0.5");
  EXPECT_EQ(port, 7005);
  EXPECT_EQ(Last(), "TelecomZone3");
}

TEST_F(ServerListTest, FixedNumberFourPinsTelecomZone2) {
  Write(ListFile(kSix, "CNCZone1"));
  LogCapture log;
  ServerList list(path_, "4", &observer_);
  EXPECT_TRUE(list.FixedMode());
  list.LoadEntries(true);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(list.Slot(i).section, i == 4 ? "TelecomZone2" : "") << i;
  EXPECT_EQ(log.Count("m_listTelecomZone1 show. pUniteZone 4"), 0);  // not at start-up
  EXPECT_EQ(log.Count("PING MSG--: "), 0);
  list.RestoreSelection();
  EXPECT_EQ(list.Zone(), 1);
  EXPECT_EQ(list.SelectedSlot(), 3);  // LastServer CNCZone1 remembers button 1
  EXPECT_EQ(log.CountExact("RefreshList In InitUI A"), 1);
  list.Select(0, 0);  // another button highlighted
  std::string ip;
  int port = 0;
  ASSERT_TRUE(list.LookupServer(&ip, &port));
  EXPECT_EQ(SelectedServerSection, "TelecomZone2");
  EXPECT_EQ(ip, "10.0.0.4");
  EXPECT_EQ(port, 7004);
  EXPECT_EQ(Last(), "CNCZone1");  // left unchanged

  list.LoadEntries(false);
  EXPECT_EQ(log.Count("m_listTelecomZone1 show. pUniteZone 4"), 2);
  EXPECT_EQ(log.Count("RefreshList In RefreshSection A"), 1);
  EXPECT_TRUE(observer_.errors.empty());
}

TEST_F(ServerListTest, FixedNumberOneKeepsTheSlotWithoutLastServer) {
  Write(ListFile(kSix));
  ServerList list(path_, "1abc", &observer_);
  EXPECT_EQ(list.FixedNumber(), 1);
  list.LoadEntries(true);
  EXPECT_EQ(list.Slot(1).section, "CNCZone2");
  EXPECT_EQ(list.Slot(0).section, "");
  list.RestoreSelection();
  EXPECT_EQ(list.Zone(), 0);
  EXPECT_EQ(list.SelectedSlot(), 0);  // as on a fresh window
  EXPECT_EQ(SelectedServerSection, "");
  EXPECT_EQ(Last(), "<none>");
}

TEST_F(ServerListTest, FixedNumberSevenStoresNothingButStartsAgainstIt) {
  std::vector<std::string> eight = kSix;
  eight.push_back("Seventh");
  eight.push_back("Eighth");
  Write(ListFile(eight));
  LogCapture log;
  ServerList list(path_, "7", &observer_);
  list.LoadEntries(true);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(list.Slot(i).section, "");
  list.LoadEntries(false);
  EXPECT_EQ(log.Count("m_list??? show. pUniteZone 7"), 1);
  list.Select(1, 2);
  list.RestoreSelection();
  EXPECT_EQ(log.Count("RefreshList In InitUI A Default"), 1);
  EXPECT_EQ(list.Zone(), 0);
  EXPECT_EQ(list.SelectedSlot(), 0);
  std::string ip;
  int port = 0;
  ASSERT_TRUE(list.LookupServer(&ip, &port));
  EXPECT_EQ(SelectedServerSection, "Eighth");
  EXPECT_EQ(ip, "10.0.0.7");
  EXPECT_EQ(Last(), "<none>");
}

TEST_F(ServerListTest, FixedNumberThatNamesNoServerIsAnError) {
  Write(ListFile({"CNCZone1", "CNCZone2"}, "CNCZone2"));
  for (const std::string& area : {std::string("-1"), std::string("5")}) {
    observer_.errors.clear();
    LogCapture log;
    ServerList list(path_, area, &observer_);
    list.LoadEntries(true);
    list.LoadEntries(false);
    list.RestoreSelection();
    // Restoring checks only the sign; Server5 is looked at by loads and the start.
    std::vector<bool> expected = area == "-1" ? std::vector<bool>{true, false, false} : std::vector<bool>{true, false};
    EXPECT_EQ(observer_.errors, expected) << area;
    for (int i = 0; i < 6; ++i) EXPECT_EQ(list.Slot(i).section, "") << area;
    std::string ip = "unchanged";
    int port = 0;
    EXPECT_FALSE(list.LookupServer(&ip, &port)) << area;
    EXPECT_EQ(ip, "unchanged");
    EXPECT_EQ(observer_.errors, expected) << area;  // the game start reports by its result
    EXPECT_EQ(log.Count("pUniteZone range error."), static_cast<int>(expected.size()) + 1) << area;
    EXPECT_EQ(Last(), "CNCZone2");
  }
}

}  // namespace
