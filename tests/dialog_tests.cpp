// The dialog logic with a fake window, fake engine calls and workers that run
// when the test says so: the GO rule, the controls in each operation state,
// the remote poll, the timers, the confirmations and the close refusal.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <set>

#include "app/dialog.h"
#include "dnc/setup_variables.h"
#include "dnc/variables.h"

namespace kestrio::app {
namespace {

class FakeView : public DialogView {
 public:
  void SetCaption(const std::string& text) override { caption = text; }
  void Refresh(const std::string& root, const std::string& current, const std::string& selected) override {
    shown = {root, current, selected};
    Log("refresh " + selected);
  }
  void Enable(Control c, bool on) override {
    enabled[c] = on;
    Log("enable " + std::to_string(static_cast<int>(c)) + (on ? " on" : " off"));
  }
  void SetLanguageItems(const std::vector<std::string>& names) override { items = names; }
  void SetProgressRange(int low, int high, int step) override { range = {low, high, step}; }
  void SetProgress(int position) override { progress = position; }
  Answer ShowMessage(const std::string& text, Icon icon, Buttons buttons) override {
    messages.push_back(text);
    Log("message " + text);
    lastIcon = icon;
    if (buttons == Buttons::YesNo) return answer;
    return Answer::Ok;
  }
  std::optional<std::string> ChooseFolder(const std::string& preselect) override {
    preselected = preselect;
    return folder;
  }
  void StartTimer(Timer id) override { timers.insert(id); }
  void StopTimer(Timer id) override { timers.erase(id); }
  void ShowAbout() override { ++abouts; }
  void Close() override { closed = true; }
  void Quit() override {
    quit = true;
    Log("quit");
  }
  void PostToUi(std::function<void()> work) override { posted.push_back(std::move(work)); }

  void Log(const std::string& e) { events.push_back(e); }
  std::size_t IndexOf(const std::string& e) const {
    for (std::size_t k = 0; k < events.size(); ++k)
      if (events[k] == e) return k;
    return events.size();
  }

  std::string caption;
  std::array<std::string, 3> shown;
  std::map<Control, bool> enabled{{Control::Select, true}, {Control::Language, false}, {Control::Go, false}};
  std::vector<std::string> items;
  std::array<int, 3> range{};
  int progress = -1;
  std::vector<std::string> messages;
  Icon lastIcon = Icon::Exclamation;
  Answer answer = Answer::Yes;
  std::optional<std::string> folder;
  std::string preselected = "<not asked>";
  std::set<unsigned> timers;
  int abouts = 0;
  bool closed = false;
  bool quit = false;
  std::deque<std::function<void()>> posted;
  std::vector<std::string> events;
};

class Dialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ops_.getCurrentLanguage = [this](std::string& name) {
      name = current_;
      return currentStatus_;
    };
    ops_.scan = [this](const std::string& root, std::vector<std::string>& names) {
      scannedRoots_.push_back(root);
      names = scanNames_;
      return scanResult_ >= 0 ? static_cast<std::int32_t>(scanNames_.size()) : scanResult_;
    };
    ops_.change = [this](const std::string& name) {
      changedTo_.push_back(name);
      return changeResult_;
    };
    ops_.startServer = [] {
      dnc::ReiniciarRegistro();
      dnc::RegisterSetupVariables();
    };
    ops_.startWorker = [this](std::function<void()> work) { workers_.push_back(std::move(work)); };
  }

  SetupDialog& Start() {
    dialog_ = std::make_unique<SetupDialog>(view_, ops_);
    dialog_->InitSetup();
    return *dialog_;
  }
  // Lets the started workers finish, then the UI thread handle their results.
  void Finish() {
    while (!workers_.empty()) {
      auto work = std::move(workers_.front());
      workers_.pop_front();
      work();
    }
    while (!view_.posted.empty()) {
      auto work = std::move(view_.posted.front());
      view_.posted.pop_front();
      work();
    }
  }
  void Scan(const std::string& root) {
    view_.folder = root;
    dialog_->OnSelectClicked();
    Finish();
  }
  static std::int32_t Status() { return dnc::GetSetupStatus(); }
  static void Remote(const char* name, const char* value) { ASSERT_EQ(dnc::EscribirVariableTxt(name, value), 0) << name; }
  bool On(Control c) { return view_.enabled[c]; }

  FakeView view_;
  DialogOperations ops_;
  std::unique_ptr<SetupDialog> dialog_;
  std::deque<std::function<void()>> workers_;
  std::string current_ = "German";
  std::int32_t currentStatus_ = 0;
  std::vector<std::string> scanNames_ = {"Spanish", "French", "German"};
  std::int32_t scanResult_ = 0;
  std::int32_t changeResult_ = 0;
  std::vector<std::string> scannedRoots_, changedTo_;
};

TEST_F(Dialog, StartShowsCaptionCurrentLanguageAndPollTimer) {
  Start();
  EXPECT_EQ(view_.caption, "Kestrio Setup        v2017.09");
  EXPECT_EQ(view_.shown[1], "German");
  EXPECT_EQ(view_.timers, (std::set<unsigned>{TIMER_REMOTE_POLL}));
  EXPECT_EQ(view_.range, (std::array<int, 3>{0, 750, 1}));
  EXPECT_FALSE(On(Control::Go));
  EXPECT_EQ(dnc::SnapshotSetupState().currentLanguage, "German");
  EXPECT_EQ(Status(), 0);
}

TEST_F(Dialog, GoRuleNeedsLanguageRootAndCurrentLanguage) {
  struct Case {
    const char* label;
    std::int32_t currentStatus;
    std::vector<std::string> found;
    bool go;
  };
  const Case cases[] = {
      {"all three known", 0, {"Spanish"}, true},
      {"no pack found", 0, {}, false},
      {"current language unknown", -5, {"Spanish"}, false},
  };
  for (const auto& c : cases) {
    view_ = FakeView{};
    currentStatus_ = c.currentStatus;
    current_ = c.currentStatus == 0 ? "German" : "";
    scanNames_ = c.found;
    Start();
    Scan("D:\\packs");
    EXPECT_EQ(On(Control::Go), c.go) << c.label;
    EXPECT_TRUE(On(Control::Language)) << c.label;
    EXPECT_TRUE(On(Control::Select)) << c.label;
  }
  dialog_->OnLanguageSelChange("");
  EXPECT_FALSE(On(Control::Go));
}

TEST_F(Dialog, FailedStartShowsTheErrorAndStatus) {
  currentStatus_ = -5;
  current_ = "";
  Start();
  EXPECT_EQ(view_.messages, (std::vector<std::string>{"An error ocurred getting the current language"}));
  EXPECT_EQ(view_.lastIcon, Icon::Stop);
  EXPECT_EQ(Status(), -5);
  EXPECT_EQ(dnc::SnapshotSetupState().currentLanguage, "");
}

TEST_F(Dialog, ScanDisablesControlsAnimatesAndShowsTheFirstPack) {
  Start();
  view_.folder = "D:\\packs";
  dialog_->OnSelectClicked();
  EXPECT_EQ(view_.preselected, "");
  EXPECT_FALSE(On(Control::Select) || On(Control::Language) || On(Control::Go));
  EXPECT_EQ(view_.timers, (std::set<unsigned>{TIMER_REMOTE_POLL, TIMER_SCAN_ANIMATION}));
  EXPECT_EQ(Status(), 0);  // an operator's scan does not make the setup busy
  std::vector<std::string> frames;
  for (int tick = 0; tick < 8; ++tick) {
    dialog_->OnTimer(TIMER_SCAN_ANIMATION);
    frames.push_back(view_.shown[2]);
  }
  EXPECT_EQ(frames, (std::vector<std::string>{".", "..", "...", "....", ".....", "......", "", "."}));
  Finish();
  EXPECT_EQ(view_.timers, (std::set<unsigned>{TIMER_REMOTE_POLL}));
  EXPECT_EQ(view_.shown[2], "Spanish");
  EXPECT_TRUE(view_.items.empty());  // filled only when the list opens
  const dnc::SetupState state = dnc::SnapshotSetupState();
  EXPECT_EQ(state.packCount, 3);
  EXPECT_EQ(state.packNames[1], "French");
  dialog_->OnLanguageDropDown();
  EXPECT_EQ(view_.items, scanNames_);  // in discovery order; the control sorts them
  view_.folder.reset();
  dialog_->OnSelectClicked();
  EXPECT_EQ(view_.preselected, "D:\\packs");  // a cancelled browser changes nothing
  EXPECT_TRUE(workers_.empty());
}

TEST_F(Dialog, FailedScanQuitsAfterItsMessage) {
  scanResult_ = -13;
  Start();
  Scan("D:\\packs");
  EXPECT_EQ(view_.messages.back(), "An error ocurred getting language pack name.");
  EXPECT_LT(view_.IndexOf("message An error ocurred getting language pack name."), view_.IndexOf("quit"));
  EXPECT_TRUE(view_.quit);
  EXPECT_EQ(Status(), -13);
}

TEST_F(Dialog, GoAsksFourTimesAndNoChangesNothing) {
  Start();
  Scan("D:\\packs");
  view_.messages.clear();
  view_.answer = Answer::No;
  dialog_->OnGoClicked();
  EXPECT_EQ(view_.messages, (std::vector<std::string>{"This process takes several minutes.",
                                                      "Don\u00b4t turn off the CNC during process.",
                                                      "The CNC will be restarted automatically.",
                                                      "Do you want to continue?"}));
  EXPECT_TRUE(workers_.empty());
  EXPECT_TRUE(On(Control::Go));
  view_.answer = Answer::Yes;
  dialog_->OnGoClicked();
  EXPECT_FALSE(On(Control::Select) || On(Control::Language) || On(Control::Go));
  EXPECT_EQ(view_.timers, (std::set<unsigned>{TIMER_REMOTE_POLL, TIMER_PROGRESS}));
  Finish();
  EXPECT_EQ(changedTo_, (std::vector<std::string>{"Spanish"}));
}

TEST_F(Dialog, SucceededChangeKeepsControlsDisabledAndTheBarFilling) {
  Start();
  Scan("D:\\packs");
  view_.answer = Answer::Yes;
  dialog_->OnGoClicked();
  Finish();
  EXPECT_EQ(Status(), 0);
  EXPECT_FALSE(On(Control::Select) || On(Control::Language) || On(Control::Go));
  for (int tick = 0; tick < 800; ++tick) dialog_->OnTimer(TIMER_PROGRESS);
  EXPECT_EQ(view_.progress, 750);
  EXPECT_TRUE(view_.timers.count(TIMER_PROGRESS));
  dialog_->OnSysCommand(kCloseCommand);
  EXPECT_TRUE(view_.closed);
}

TEST_F(Dialog, FailedChangeReenablesControlsBeforeItsMessage) {
  changeResult_ = -10;
  Start();
  Scan("D:\\packs");
  dialog_->OnGoClicked();
  for (int tick = 0; tick < 5; ++tick) dialog_->OnTimer(TIMER_PROGRESS);
  EXPECT_EQ(view_.progress, 5);
  view_.events.clear();
  Finish();
  const std::string message = "message System is protected. Change to Administrator mode, please.";
  EXPECT_LT(view_.IndexOf("enable 1008 on"), view_.IndexOf(message));
  EXPECT_LT(view_.IndexOf("enable 1001 on"), view_.IndexOf(message));
  EXPECT_LT(view_.IndexOf("enable 1003 on"), view_.IndexOf(message));
  EXPECT_EQ(view_.progress, 0);
  EXPECT_FALSE(view_.timers.count(TIMER_PROGRESS));
  EXPECT_EQ(Status(), -10);
  EXPECT_FALSE(view_.quit);
}

TEST_F(Dialog, PollTakesRootThenNameThenGo) {
  Start();
  Remote("KESTRIO.ROOTDIR", "D:\\remote");
  EXPECT_EQ(Status(), 1);
  dialog_->OnTimer(TIMER_REMOTE_POLL);
  EXPECT_EQ(dialog_->RootDir(), "D:\\remote");
  EXPECT_EQ(workers_.size(), 1u);
  dialog_->OnSysCommand(kCloseCommand);  // busy: refused
  EXPECT_FALSE(view_.closed);
  EXPECT_EQ(view_.messages.back(), "Operation in progress. Please wait until finishes to close application.");
  Finish();
  EXPECT_EQ(scannedRoots_, (std::vector<std::string>{"D:\\remote"}));
  EXPECT_EQ(Status(), 0);

  Remote("KESTRIO.NEXT", "French");
  Remote("KESTRIO.GO", "1");
  dialog_->OnTimer(TIMER_REMOTE_POLL);  // both in one tick, the name first
  Finish();
  EXPECT_EQ(changedTo_, (std::vector<std::string>{"French"}));
}

TEST_F(Dialog, RemoteGoRunsWithoutTheButtonsRule) {
  currentStatus_ = -5;
  current_ = "";
  changeResult_ = -6;
  Start();
  Remote("KESTRIO.NEXT", "Klingon");
  Remote("KESTRIO.GO", "1");
  const std::size_t questions = view_.messages.size();
  dialog_->OnTimer(TIMER_REMOTE_POLL);
  Finish();
  EXPECT_EQ(changedTo_, (std::vector<std::string>{"Klingon"}));
  EXPECT_EQ(view_.messages.size(), questions + 1);  // no confirmation, only the error
  EXPECT_EQ(view_.messages.back(), "Invalid language name.");
  EXPECT_EQ(Status(), -6);
}

TEST_F(Dialog, RequestsWaitWhileAnOperatorScanRuns) {
  Start();
  view_.folder = "D:\\packs";
  dialog_->OnSelectClicked();  // the scan's worker has not finished
  Remote("KESTRIO.ROOTDIR", "E:\\other");
  dialog_->OnTimer(TIMER_REMOTE_POLL);
  EXPECT_EQ(workers_.size(), 1u);
  Finish();
  dialog_->OnTimer(TIMER_REMOTE_POLL);
  Finish();
  EXPECT_EQ(scannedRoots_, (std::vector<std::string>{"D:\\packs", "E:\\other"}));
}

TEST_F(Dialog, SystemCommandsAndKeys) {
  Start();
  EXPECT_TRUE(dialog_->OnSysCommand(0x0010));
  EXPECT_TRUE(dialog_->OnSysCommand(0x0013));  // the low bits are not part of the command
  EXPECT_EQ(view_.abouts, 2);
  EXPECT_FALSE(dialog_->OnSysCommand(0xF020));  // minimise: the window's own handling
  EXPECT_TRUE(SetupDialog::KeepsKeyFromDialog(0x1B));
  EXPECT_FALSE(SetupDialog::KeepsKeyFromDialog(0x0D));
  EXPECT_TRUE(dialog_->OnSysCommand(kCloseCommand));
  EXPECT_TRUE(view_.closed);
}

}  // namespace
}  // namespace kestrio::app
