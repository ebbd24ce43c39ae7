// The dialog logic with a fake window, fake engine calls and workers that run
// when the test says so: the GO rule, the controls in each operation state,
// the remote poll, the timers, the confirmations and the close refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "app/dialog.h"
#include "engine/language.h"
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
    boxesEnded.push_back(false);
    mostBoxesOpen = std::max(mostBoxesOpen, boxesEnded.size());
    if (whileOpen) whileOpen(text);
    const bool ended = boxesEnded.back();
    boxesEnded.pop_back();
    if (buttons == Buttons::YesNo && !ended) return answer;
    return Answer::Ok;
  }
  void EndMessage(std::size_t level) override {
    if (level < boxesEnded.size()) boxesEnded[level] = true;
  }
  // The innermost box was ended by the dialog (its loop would return now).
  bool BoxEnded() const { return !boxesEnded.empty() && boxesEnded.back(); }
  std::optional<std::string> ChooseFolder(const std::string& preselect) override {
    preselected = preselect;
    if (whileOpen) whileOpen(kBrowser);
    return folder;
  }
  void StartTimer(Timer id) override { timers.insert(id); }
  void StopTimer(Timer id) override { timers.erase(id); }
  void ShowAbout() override {
    ++abouts;
    if (whileOpen) whileOpen(kAbout);
  }
  void Close() override { closed = true; }
  void Quit() override {
    quit = true;
    Log("quit");
  }
  void PostToUi(std::function<void()> work) override { posted.push_back(std::move(work)); }

  void Log(const std::string& e) {
    events.push_back(e);
    if (onEvent) onEvent(e);
  }
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
  // Runs while a message box (given its text) or the folder browser is open,
  // as the nested message loop of modal UI would run timers and requests.
  std::function<void(const std::string&)> whileOpen;
  // Runs at each logged step of the window, to step into the dialog between two of them.
  std::function<void(const std::string&)> onEvent;
  std::vector<bool> boxesEnded;  // per open box, innermost last
  std::size_t mostBoxesOpen = 0;
  static constexpr const char* kBrowser = "<folder browser>";
  static constexpr const char* kAbout = "<about box>";
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
    RunWorkers();
    HandlePosted();
  }
  void RunWorkers() {
    while (!workers_.empty()) {
      auto work = std::move(workers_.front());
      workers_.pop_front();
      work();
    }
  }
  void HandlePosted() {
    while (!view_.posted.empty()) {
      auto work = std::move(view_.posted.front());
      view_.posted.pop_front();
      work();
    }
  }
  // The close command: true when it closed the dialog.
  bool CloseAccepted() {
    view_.closed = false;
    dialog_->OnSysCommand(kCloseCommand);
    return view_.closed;
  }
  void Scan(const std::string& root) {
    view_.folder = root;
    dialog_->OnSelectClicked();
    Finish();
  }
  static std::int32_t Status() { return dnc::GetSetupStatus(); }
  static void Remote(const char* name, const char* value) { ASSERT_EQ(dnc::EscribirVariableTxt(name, value), 0) << name; }
  // A client's request: NEXT French and GO, or ROOTDIR E:\remote.
  static void RemoteRequest(bool go) {
    if (go) {
      Remote("KESTRIO.NEXT", "French");
      Remote("KESTRIO.GO", "1");
    } else {
      Remote("KESTRIO.ROOTDIR", "E:\\remote");
    }
  }
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
    const char* root;  // "": the language is chosen without any scan
    bool go;
  };
  const Case cases[] = {
      {"all three known", 0, {"Spanish"}, "D:\\packs", true},
      {"no pack found", 0, {}, "D:\\packs", false},
      {"current language unknown", -5, {"Spanish"}, "D:\\packs", false},
      {"no root folder", 0, {"Spanish"}, "", false},
  };
  for (const auto& c : cases) {
    view_ = FakeView{};
    currentStatus_ = c.currentStatus;
    current_ = c.currentStatus == 0 ? "German" : "";
    scanNames_ = c.found;
    Start();
    if (*c.root != '\0') {
      Scan(c.root);
      EXPECT_TRUE(On(Control::Language)) << c.label;
      EXPECT_TRUE(On(Control::Select)) << c.label;
    } else {
      Remote("KESTRIO.NEXT", c.found.front().c_str());
      dialog_->OnTimer(TIMER_REMOTE_POLL);
      dialog_->OnLanguageSelChange(c.found.front());
    }
    EXPECT_EQ(On(Control::Go), c.go) << c.label;
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

// A remote request accepted during an operator's scan waits for it.  The
// scan's end publishes its packs but leaves STATUS at 1: the client reads
// neither the operator's result as its own nor may anyone close, and a
// later GO is refused until the waiting request has run and written its
// own result.
TEST_F(Dialog, RequestWaitingForAnOperatorScanKeepsTheSetupBusy) {
  Start();
  view_.folder = "D:\\packs";
  dialog_->OnSelectClicked();  // the scan's worker has not finished
  Remote("KESTRIO.ROOTDIR", "E:\\other");
  dialog_->OnTimer(TIMER_REMOTE_POLL);
  EXPECT_EQ(workers_.size(), 1u);
  scanNames_ = {"Italian"};
  Finish();
  EXPECT_EQ(dnc::SnapshotSetupState().packCount, 1);
  EXPECT_EQ(Status(), 1);
  EXPECT_FALSE(CloseAccepted());
  Remote("KESTRIO.NEXT", "French");
  Remote("KESTRIO.GO", "1");  // busy: dropped
  dialog_->OnTimer(TIMER_REMOTE_POLL);
  EXPECT_EQ(workers_.size(), 1u);
  scanNames_ = {"Polish", "Czech"};
  Finish();
  EXPECT_EQ(scannedRoots_, (std::vector<std::string>{"D:\\packs", "E:\\other"}));
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(dnc::SnapshotSetupState().packCount, 2);
  dialog_->OnTimer(TIMER_REMOTE_POLL);
  EXPECT_TRUE(workers_.empty());
  EXPECT_TRUE(changedTo_.empty());
}

// Each operation, asked for by the operator or remotely, at each of its
// moments: what a remote client reads in STATUS, whether the close command
// is taken, and whether GO is enabled.
TEST_F(Dialog, StatusCloseAndGoThroughEachOperation) {
  enum Moment { kStarted, kWorkerDone, kResultHandled };
  struct Row {
    const char* label;
    bool remote;
    bool change;  // GO; otherwise a scan
    std::int32_t changeResult;
    Moment moment;
    std::int32_t status;
    bool closes;
    bool go;
  };
  const Row rows[] = {
      {"operator scan, started", false, false, 0, kStarted, 0, true, false},
      {"operator scan, worker done", false, false, 0, kWorkerDone, 0, true, false},
      {"operator scan, result handled", false, false, 0, kResultHandled, 0, true, true},
      {"operator GO, started", false, true, 0, kStarted, 1, false, false},
      {"operator GO, worker done", false, true, 0, kWorkerDone, 0, true, false},
      {"operator GO, result handled", false, true, 0, kResultHandled, 0, true, false},
      {"operator GO failing, result handled", false, true, -10, kResultHandled, -10, true, true},
      {"remote scan, started", true, false, 0, kStarted, 1, false, false},
      {"remote scan, worker done", true, false, 0, kWorkerDone, 1, false, false},
      {"remote scan, result handled", true, false, 0, kResultHandled, 0, true, true},
      {"remote GO, started", true, true, 0, kStarted, 1, false, false},
      {"remote GO, worker done", true, true, 0, kWorkerDone, 0, true, false},
      {"remote GO, result handled", true, true, 0, kResultHandled, 0, true, false},
      {"remote GO failing, worker done", true, true, -6, kWorkerDone, -6, true, false},
      {"remote GO failing, result handled", true, true, -6, kResultHandled, -6, true, true},
  };
  for (const Row& r : rows) {
    view_ = FakeView{};
    workers_.clear();
    changeResult_ = 0;
    Start();
    Scan("D:\\packs");  // GO enabled: a pack, a root folder, the current language
    changeResult_ = r.changeResult;
    if (r.remote) RemoteRequest(r.change);
    if (r.remote) {
      dialog_->OnTimer(TIMER_REMOTE_POLL);
    } else if (r.change) {
      dialog_->OnGoClicked();
    } else {
      view_.folder = "E:\\other";
      dialog_->OnSelectClicked();
    }
    ASSERT_EQ(workers_.size(), 1u) << r.label;
    if (r.moment >= kWorkerDone) RunWorkers();
    if (r.moment >= kResultHandled) HandlePosted();
    EXPECT_EQ(Status(), r.status) << r.label;
    EXPECT_EQ(On(Control::Go), r.go) << r.label;
    EXPECT_EQ(CloseAccepted(), r.closes) << r.label;
  }
}

// Message boxes, the folder browser and the About box run nested message
// loops in which the poll keeps ticking.  A remote request written while
// GO's questions or the browser are up waits until they close, takes the
// turn from the operator's command, and runs alone; after a failed scan
// nothing runs at all.  The boxes that start nothing (a failed change's stop
// box, the About box) hold no request: nobody may be there to answer them.
TEST_F(Dialog, RemoteRequestWaitsOnlyForModalUiThatStartsAnOperation) {
  struct Row {
    const char* label;
    const char* openAt;  // the box's text, the folder browser or the About box
    enum { kGo, kSelect, kAbout } operatorDoes;
    std::int32_t scanResult, changeResult;
    bool remoteGo;       // NEXT French and GO; otherwise ROOTDIR E:\remote
    bool runsWhileOpen;
    std::vector<std::string> scanned, changed;  // after the setup's first scan
    bool operatorTold;               // the operator's yielded command is explained in a box
    std::int32_t statusWhileOpen;    // what the client reads while the box is up
    bool closesWhileOpen;            // the close command, given while the box is up
  };
  const Row rows[] = {
      {"first GO warning, remote GO", "This process takes several minutes.", Row::kGo, 0, 0, true, false, {}, {"French"},
       true, 1, false},
      {"GO question, remote GO", "Do you want to continue?", Row::kGo, 0, 0, true, false, {}, {"French"}, true, 1, false},
      {"first GO warning, remote ROOTDIR", "This process takes several minutes.", Row::kGo, 0, 0, false, false,
       {"E:\\remote"}, {}, true, 1, false},
      {"folder browser, remote ROOTDIR", FakeView::kBrowser, Row::kSelect, 0, 0, false, false, {"E:\\remote"}, {}, true, 1,
       false},
      {"folder browser, remote GO", FakeView::kBrowser, Row::kSelect, 0, 0, true, false, {}, {"French"}, true, 1, false},
      {"stop box of a failed change, remote ROOTDIR", "System is protected. Change to Administrator mode, please.",
       Row::kGo, 0, -10, false, true, {"E:\\remote"}, {"Spanish"}, false, 1, false},
      {"stop box of a failed change, remote GO", "System is protected. Change to Administrator mode, please.",
       Row::kGo, 0, -10, true, true, {}, {"Spanish", "French"}, false, 1, false},
      {"About box, remote GO", FakeView::kAbout, Row::kAbout, 0, 0, true, true, {}, {"French"}, false, 1, false},
      // The program ends when this box is closed: the GO is acknowledged and
      // ignored, the scan's code stays readable, and the close is taken.
      {"stop box of a failed scan, remote GO", "An error ocurred getting language pack name.", Row::kSelect, -13, 0,
       true, false, {"D:\\mine"}, {}, false, -13, true},
      {"stop box of a failed scan, remote ROOTDIR", "An error ocurred getting language pack name.", Row::kSelect, -13, 0,
       false, false, {"D:\\mine"}, {}, false, -13, true},
  };
  for (const Row& r : rows) {
    view_ = FakeView{};
    workers_.clear();
    scanResult_ = 0;
    Start();
    Scan("D:\\packs");
    scannedRoots_.clear();
    changedTo_.clear();
    scanResult_ = r.scanResult;
    changeResult_ = r.changeResult;
    std::size_t workersWhileOpen = 99;
    bool landed = false;
    view_.whileOpen = [&](const std::string& open) {
      if (open != r.openAt || landed) return;
      landed = true;  // once: the box shown again by a failing retry is not this row's
      RemoteRequest(r.remoteGo);
      for (int tick = 0; tick < 3; ++tick) dialog_->OnTimer(TIMER_REMOTE_POLL);
      workersWhileOpen = workers_.size();
      EXPECT_EQ(Status(), r.statusWhileOpen) << r.label;
      EXPECT_EQ(CloseAccepted(), r.closesWhileOpen) << r.label;
    };
    view_.folder = "D:\\mine";
    if (r.operatorDoes == Row::kGo) {
      dialog_->OnGoClicked();
    } else if (r.operatorDoes == Row::kSelect) {
      dialog_->OnSelectClicked();
    } else {
      dialog_->OnSysCommand(kAboutCommand);
    }
    Finish();  // the operator's own operation, if it started, ends here
    EXPECT_EQ(workersWhileOpen, r.runsWhileOpen ? 1u : 0u) << r.label;
    for (int tick = 0; tick < 3; ++tick) {
      dialog_->OnTimer(TIMER_REMOTE_POLL);
      EXPECT_LE(workers_.size(), 1u) << r.label;
      Finish();
    }
    EXPECT_EQ(scannedRoots_, r.scanned) << r.label;
    EXPECT_EQ(changedTo_, r.changed) << r.label;
    EXPECT_EQ(view_.quit, r.scanResult < 0) << r.label;
    EXPECT_EQ(std::count(view_.messages.begin(), view_.messages.end(), engine::kTextRemoteFirst), r.operatorTold ? 1 : 0)
        << r.label;
  }
}

// A machine nobody stands at: its first failed change leaves a stop box up,
// and the remote retries that follow run inside that box's loop.  However
// many fail, one box is on the screen, showing the latest failure; a retry
// that succeeds leaves it as it is.
TEST_F(Dialog, RemoteRetriesRunUnderAFailedChangesBoxAndKeepOneBox) {
  changeResult_ = -10;
  Start();
  Scan("D:\\packs");
  dialog_->OnGoClicked();
  struct Retry {
    const char* name;
    std::int32_t result;
  };
  std::deque<Retry> retries = {{"French", -10}, {"French", 0}, {"Polish", -6}, {"Czech", -6}, {"Italian", -9}};
  view_.whileOpen = [&](const std::string&) {
    while (!retries.empty() && !view_.BoxEnded()) {
      const Retry retry = retries.front();
      retries.pop_front();
      changeResult_ = retry.result;
      Remote("KESTRIO.NEXT", retry.name);
      Remote("KESTRIO.GO", "1");
      dialog_->OnTimer(TIMER_REMOTE_POLL);
      Finish();
      EXPECT_EQ(Status(), retry.result) << retry.name;
    }
  };
  view_.messages.clear();
  Finish();  // the operator's change fails: its box comes up
  EXPECT_TRUE(retries.empty());
  EXPECT_EQ(changedTo_, (std::vector<std::string>{"Spanish", "French", "French", "Polish", "Czech", "Italian"}));
  EXPECT_EQ(view_.mostBoxesOpen, 1u);
  EXPECT_EQ(view_.messages, (std::vector<std::string>{
                                "System is protected. Change to Administrator mode, please.",
                                "System is protected. Change to Administrator mode, please.",
                                "Invalid language name.", "Invalid language name.",
                                "You have selected the same language to install. Please, change language."}));
  EXPECT_EQ(Status(), -9);
  EXPECT_TRUE(On(Control::Go) && On(Control::Select) && On(Control::Language));
}

// STATUS is claimed in one step with its busy test.  A remote request that
// lands at any moment of the start-up or of an operator's command either
// has the turn or is refused: never two operations, never the operator's
// result read as the client's.
TEST_F(Dialog, ARequestInTheGapOfAStartNeverGetsAnotherOperationsResult) {
  struct Row {
    const char* label;
    const char* when;     // the window's step at which the request lands; "query": during the start-up's query
    std::int32_t currentStatus;
    bool remoteGo;        // NEXT French and GO; otherwise ROOTDIR E:\remote
    enum { kNothing, kGo, kSelect } operatorDoes;
    std::vector<std::string> scanned, changed;
  };
  const Row rows[] = {
      {"ROOTDIR while the start-up queries the language", "query", 0, false, Row::kNothing, {"E:\\remote"}, {}},
      {"ROOTDIR while the start-up query fails", "query", -5, false, Row::kNothing, {"E:\\remote"}, {}},
      {"ROOTDIR under the start-up's stop box", "message An error ocurred getting the current language", -5, false,
       Row::kNothing, {"E:\\remote"}, {}},
      {"GO at the first step of the operator's change", "enable 1003 off", 0, true, Row::kGo, {"D:\\packs"},
       {"Spanish"}},
      {"ROOTDIR at the first step of the operator's change", "enable 1003 off", 0, false, Row::kGo, {"D:\\packs"},
       {"Spanish"}},
      {"ROOTDIR at the first step of the operator's scan", "enable 1008 off", 0, false, Row::kSelect,
       {"D:\\packs", "D:\\mine", "E:\\remote"}, {}},
  };
  const auto query = ops_.getCurrentLanguage;
  for (const Row& r : rows) {
    view_ = FakeView{};
    workers_.clear();
    scannedRoots_.clear();
    changedTo_.clear();
    currentStatus_ = r.currentStatus;
    current_ = r.currentStatus == 0 ? "German" : "";
    bool landed = false;
    const auto landAt = [&](const std::string& step) {
      if (landed || step != r.when) return;
      landed = true;
      RemoteRequest(r.remoteGo);
    };
    ops_.getCurrentLanguage = [&](std::string& name) {
      landAt("query");
      return query(name);
    };
    const bool atStart = r.operatorDoes == Row::kNothing;
    if (atStart) view_.onEvent = landAt;
    Start();
    if (atStart) {
      EXPECT_EQ(Status(), 1) << r.label;  // the request's claim stands
    } else {
      Scan("D:\\packs");
      view_.onEvent = landAt;
      view_.folder = "D:\\mine";
      if (r.operatorDoes == Row::kGo) dialog_->OnGoClicked(); else dialog_->OnSelectClicked();
    }
    view_.onEvent = nullptr;
    EXPECT_TRUE(landed) << r.label;
    for (int tick = 0; tick < 3; ++tick) {
      Finish();
      dialog_->OnTimer(TIMER_REMOTE_POLL);
      EXPECT_LE(workers_.size(), 1u) << r.label;
    }
    Finish();
    EXPECT_EQ(scannedRoots_, r.scanned) << r.label;
    EXPECT_EQ(changedTo_, r.changed) << r.label;
    EXPECT_NE(Status(), 1) << r.label;  // every accepted request wrote its own result
  }
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
