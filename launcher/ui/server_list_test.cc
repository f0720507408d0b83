#include "launcher/ui/server_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/log/logger.h"
#include "launcher/ui/latency_probe.h"
#include "platform/file.h"
#include "platform/ini.h"
#include "platform/path.h"
#include "testing/testing.h"

namespace {

// The texts of the log lines written while it lives (thread, level and time cut off).
class LogCapture {
 public:
  LogCapture() { Logger::Instance().Init("T", dir_.Path(), Logger::kToFile, 200, 1000000); }
  ~LogCapture() { Logger::Instance().Init("T", dir_.Path(), 0, 200, 1000000); }
  int Count(const std::string& prefix) const {
    std::string text;
    platform::ReadFileToString(Logger::Instance().CurrentFileName(), &text);
    int n = 0;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      size_t at = start;
      for (int i = 0; i < 3; ++i) at = text.find(' ', at) + 1;
      n += text.compare(at, prefix.size(), prefix) == 0;
    }
    return n;
  }

 private:
  testkit::TempDir dir_;
};

class RecordingObserver : public ServerListObserver {
 public:
  void ReshowButtons() override { ++reshows; }
  void FixedServerError(bool at_startup) override { errors.push_back(at_startup); }
  int reshows = 0;
  std::vector<bool> errors;
};

const std::vector<std::string> kSix = {"CNCZone1",     "CNCZone2",     "CNCZone3",
                                       "TelecomZone1", "TelecomZone2", "TelecomZone3"};

class ServerListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SelectedServerSection = "CNCZone1";
    for (auto& r : ProbeResults) r.store(-1);
  }
  // Server<i> = sections[i], described by ShowText "Show <section>",
  // BishopIP 10.0.0.<i> and BishopPort 7000 + i.
  void Write(const std::vector<std::string>& sections, const std::string& last = "") {
    std::string text = "[ServerSection]\r\n";
    for (size_t i = 0; i < sections.size(); ++i) text += "Server" + std::to_string(i) + "=" + sections[i] + "\r\n";
    if (!last.empty()) text += "LastServer=" + last + "\r\n";
    for (size_t i = 0; i < sections.size(); ++i) {
      text += "[" + sections[i] + "]\r\nShowText=Show " + sections[i] + "\r\nBishopIP=10.0.0." + std::to_string(i) +
              "\r\nBishopPort=" + std::to_string(7000 + i) + "\r\n";
    }
    ASSERT_TRUE(platform::WriteStringToFile(path_, text));
  }
  std::string Last() { return platform::ProfileString("ServerSection", "LastServer", "<none>", path_); }
  std::string Sections(const ServerList& list) {
    std::string s;
    for (int i = 0; i < ServerList::kSlotCount; ++i) s += list.Slot(i).section + ";";
    return s;
  }

  testkit::TempDir dir_;
  std::string path_ = dir_ / "serverlist.ini";
  RecordingObserver observer_;
  std::string ip_;
  int port_ = -5;
};

TEST(ServerListPathTest, PathAndLabels) {
  std::string sep(1, platform::kPathSep);
  EXPECT_EQ(ServerList::ListFilePath("C:" + sep + "Game" + sep + "temp" + sep, "s.ini"),
            "C:" + sep + "Game" + sep + "s.ini");
  EXPECT_EQ(ServerList::ListFilePath("abc", "s.ini"), "s.ini");
  EXPECT_EQ(ServerList::ListFilePath(std::string(300, 'd') + "temp" + sep, "s.ini").size(), 259u);

  EXPECT_EQ(ServerList::LatencyLabel("A", -1), "A Unknown");
  EXPECT_EQ(ServerList::LatencyLabel("A", 99), "A  99Pin Good");
  EXPECT_EQ(ServerList::LatencyLabel("A", 100), "A 100Pin Medium");
  EXPECT_EQ(ServerList::LatencyLabel("A", 200), "A 200Pin Bad");
  EXPECT_EQ(ServerList::LatencyLabel("A", 999998), "A 999Pin Bad");
  EXPECT_EQ(ServerList::LatencyLabel("A", 999999), "A Unknown");
}

TEST_F(ServerListTest, MissingFileOrShortFirstEntryGivesAnEmptyList) {
  for (bool file : {false, true}) {
    if (file) Write({"C", "CNCZone2"});
    LogCapture log;
    ServerList list(path_, "", &observer_);
    list.LoadEntries(true);
    EXPECT_EQ(Sections(list), ";;;;;;");
    EXPECT_EQ(log.Count("PING MSG--: "), 0);
    list.RestoreSelection();
    EXPECT_EQ(SelectedServerSection, "");  // the game start then asks for a server
    EXPECT_TRUE(list.LookupServer(&ip_, &port_));
    EXPECT_EQ(ip_, "");
    EXPECT_EQ(port_, 0);
  }
}

TEST_F(ServerListTest, TenServersFillSixSlotsAndAreAllProbed) {
  std::vector<std::string> ten = kSix;
  for (int i = 6; i < 10; ++i) ten.push_back("Extra" + std::to_string(i));
  Write(ten);
  ProbeResults[0].store(42);
  ProbeResults[1].store(1500);
  ProbeResults[6].store(77);
  LogCapture log;
  ServerList list(path_, "", &observer_);
  list.LoadEntries(true);
  EXPECT_EQ(Sections(list), "CNCZone1;CNCZone2;CNCZone3;TelecomZone1;TelecomZone2;TelecomZone3;");
  EXPECT_EQ(list.Slot(5).text, "Show TelecomZone3");
  EXPECT_EQ(list.Slot(0).label, "Show CNCZone1  42Pin Good");
  EXPECT_EQ(list.Slot(1).label, "Show CNCZone2 999Pin Bad");
  EXPECT_EQ(ProbeResults[1].load(), 999);  // lowered in the table
  EXPECT_EQ(log.Count("PING MSG--: "), 7);
  EXPECT_EQ(log.Count("PING MSG--: 77"), 1);

  std::vector<std::string> requests;
  ProbeResults[9].store(12);
  EXPECT_EQ(list.StartLatencyProbes([&](const std::string& r) {
    requests.push_back(r);
    return 0;
  }),
            10);
  ASSERT_EQ(requests.size(), 10u);
  EXPECT_EQ(requests[9], "10.0.0.9 9");
  EXPECT_EQ(ProbeResults[9].load(), -1);

  // A one-character value ends the list; a reload forgets what is gone.
  Write({"CNCZone1", "CNCZone2", "X", "TelecomZone1"});
  list.LoadEntries(false);
  EXPECT_EQ(Sections(list), "CNCZone1;CNCZone2;;;;;");
  EXPECT_EQ(list.StartLatencyProbes([](const std::string&) { return 0; }), 2);
}

TEST_F(ServerListTest, LastServerChoosesZoneAndButton) {
  struct Case {
    std::string last;
    int zone, slot;
    bool remembered;
  } cases[] = {
      {"TelecomZone3", 1, 5, true}, {"CNCZone2", 0, 1, true}, {"", 0, 0, false},
      {"XZone2", 0, 0, false},      {"CNCZone", 0, 0, false}, {"TelecomZone0", 0, 0, false},
      {"TelecomZone9", 1, 0, true},  // 3 + 8 is no slot
  };
  for (const Case& c : cases) {
    Write(kSix, c.last);
    LogCapture log;
    ServerList list(path_, "", &observer_);
    list.LoadEntries(true);
    list.Select(1, 2);
    list.RestoreSelection();
    EXPECT_EQ(list.Zone(), c.zone) << c.last;
    EXPECT_EQ(list.SelectedSlot(), c.slot) << c.last;
    EXPECT_EQ(SelectedServerSection, kSix[c.slot]) << c.last;
    EXPECT_EQ(log.Count("RefreshList In InitUI B Default"), c.remembered ? 0 : 1) << c.last;
  }

  // Select clamps; -1 keeps a value; every call re-shows.
  ServerList list(path_, "", &observer_);
  list.LoadEntries(true);
  observer_.reshows = 0;
  list.Select(1, 1);
  EXPECT_EQ(SelectedServerSection, "TelecomZone2");
  list.Select(7, -1);
  EXPECT_EQ(list.Zone(), 0);
  EXPECT_EQ(list.SelectedSlot(), 4);  // the slot stays in the other zone
  list.Select(1, 3);
  EXPECT_EQ(list.SelectedSlot(), 0);
  EXPECT_EQ(observer_.reshows, 3);
}

TEST_F(ServerListTest, NormalModeRemembersTheChoice) {
  Write(kSix, "CNCZone1");
  ServerList list(path_, "", &observer_);
  list.LoadEntries(true);
  list.Select(1, 2);
  ASSERT_TRUE(list.LookupServer(&ip_, &port_));
  EXPECT_EQ(ip_, "10.0.0.5");
  EXPECT_EQ(port_, 7005);
  EXPECT_EQ(Last(), "TelecomZone3");
}

TEST_F(ServerListTest, FixedNumberFourPinsTelecomZone2) {
  Write(kSix, "CNCZone1");
  LogCapture log;
  ServerList list(path_, "4", &observer_);
  list.LoadEntries(true);
  EXPECT_EQ(Sections(list), ";;;;TelecomZone2;;");
  EXPECT_EQ(log.Count("PING MSG--: "), 0);
  list.RestoreSelection();
  EXPECT_EQ(list.Zone(), 1);
  EXPECT_EQ(list.SelectedSlot(), 3);  // LastServer CNCZone1 remembers button 1
  list.Select(0, 0);                  // another button highlighted
  ASSERT_TRUE(list.LookupServer(&ip_, &port_));
  EXPECT_EQ(SelectedServerSection, "TelecomZone2");
  EXPECT_EQ(ip_, "10.0.0.4");
  EXPECT_EQ(Last(), "CNCZone1");
  list.LoadEntries(false);
  EXPECT_EQ(log.Count("m_listTelecomZone1 show. pUniteZone 4"), 2);  // restore and refresh, not start-up
  EXPECT_EQ(log.Count("RefreshList In RefreshSection A"), 1);
  EXPECT_TRUE(observer_.errors.empty());
}

TEST_F(ServerListTest, FixedNumbersOneAndSeven) {
  Write({"CNCZone1", "CNCZone2", "CNCZone3", "T1", "T2", "T3", "Seventh", "Eighth"});
  ServerList one(path_, "1abc", &observer_);
  one.LoadEntries(true);
  EXPECT_EQ(Sections(one), ";CNCZone2;;;;;");
  one.RestoreSelection();  // no LastServer: the slot stays as on a fresh window
  EXPECT_EQ(one.Zone(), 0);
  EXPECT_EQ(one.SelectedSlot(), 0);

  LogCapture log;
  ServerList seven(path_, "7", &observer_);
  seven.LoadEntries(true);
  seven.LoadEntries(false);
  EXPECT_EQ(Sections(seven), ";;;;;;");
  EXPECT_EQ(log.Count("m_list??? show. pUniteZone 7"), 1);
  seven.Select(1, 2);
  seven.RestoreSelection();
  EXPECT_EQ(log.Count("RefreshList In InitUI A Default"), 1);
  EXPECT_EQ(seven.SelectedSlot(), 0);
  ASSERT_TRUE(seven.LookupServer(&ip_, &port_));
  EXPECT_EQ(SelectedServerSection, "Eighth");
  EXPECT_EQ(ip_, "10.0.0.7");
  EXPECT_EQ(Last(), "<none>");
}

TEST_F(ServerListTest, FixedNumberThatNamesNoServerIsAnError) {
  Write({"CNCZone1", "CNCZone2"}, "CNCZone2");
  for (const std::string area : {"-1", "5"}) {
    observer_.errors.clear();
    LogCapture log;
    ServerList list(path_, area, &observer_);
    list.LoadEntries(true);
    list.LoadEntries(false);
    list.RestoreSelection();  // checks only the sign
    std::vector<bool> expected = area == "-1" ? std::vector<bool>{true, false, false} : std::vector<bool>{true, false};
    EXPECT_EQ(observer_.errors, expected) << area;
    EXPECT_EQ(Sections(list), ";;;;;;");
    EXPECT_FALSE(list.LookupServer(&ip_, &port_)) << area;
    EXPECT_EQ(observer_.errors.size(), expected.size());  // the start reports by its result
    EXPECT_EQ(log.Count("pUniteZone range error."), static_cast<int>(expected.size()) + 1) << area;
    EXPECT_EQ(Last(), "CNCZone2");
  }
}

}  // namespace
