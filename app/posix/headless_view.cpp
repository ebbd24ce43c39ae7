#include "app/posix/headless_view.h"

#include <cstdio>
#include <utility>

namespace kestrio::app::posix {
namespace {

const char* ControlName(Control control) {
  switch (control) {
    case Control::RootDir: return "root-dir";
    case Control::Select: return "select";
    case Control::CurrentLanguage: return "current-language";
    case Control::Language: return "language";
    case Control::Progress: return "progress";
    case Control::Go: return "go";
  }
  return "?";
}

const char* TimerName(unsigned id) {
  switch (id) {
    case TIMER_REMOTE_POLL: return "remote-poll";
    case TIMER_SCAN_ANIMATION: return "scan-animation";
    case TIMER_PROGRESS: return "progress";
    default: return "?";
  }
}

}  // namespace

HeadlessView::HeadlessView(Options options) : options_(options) {}

void HeadlessView::Log(const std::string& line) const {
  if (options_.verbose) std::printf("kestrio-setup: %s\n", line.c_str());
}

void HeadlessView::SetCaption(const std::string& text) { Log("caption \"" + text + "\""); }

void HeadlessView::Refresh(const std::string& rootDir, const std::string& currentLanguage,
                           const std::string& selectedLanguage) {
  Log("root=\"" + rootDir + "\" current=\"" + currentLanguage + "\" language=\"" + selectedLanguage + "\"");
}

void HeadlessView::Enable(Control control, bool enabled) {
  Log(std::string(enabled ? "enable " : "disable ") + ControlName(control));
}

void HeadlessView::SetLanguageItems(const std::vector<std::string>& names) {
  std::string line = "list:";
  for (const auto& name : names) line += " " + name;
  Log(line);
}

void HeadlessView::SetProgressRange(int low, int high, int step) {
  Log("progress range " + std::to_string(low) + ".." + std::to_string(high) + " step " + std::to_string(step));
}

void HeadlessView::SetProgress(int position) { Log("progress " + std::to_string(position)); }

Answer HeadlessView::ShowMessage(const std::string& text, Icon, Buttons buttons) {
  if (options_.beforeBox) options_.beforeBox();
  std::fflush(stdout);  // keep the order of the two streams in a shared log
  std::fprintf(stderr, "%s: %s\n", kCaption, text.c_str());
  if (!options_.boxesStay) return buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
  const std::size_t level = boxesEnded_.size();
  boxesEnded_.push_back(false);
  Log("message box " + std::to_string(level + 1) + " up");
  RunUntil([this, level] { return boxesEnded_[level]; });
  const bool ended = boxesEnded_[level];
  boxesEnded_.pop_back();
  Log("message box " + std::to_string(level + 1) + (ended ? " ended" : " gone with the program"));
  // Nobody answered: a question is taken as No, so that nothing starts.
  return ended || buttons == Buttons::Ok ? Answer::Ok : Answer::No;
}

void HeadlessView::EndMessage(std::size_t level) {
  if (level < boxesEnded_.size()) boxesEnded_[level] = true;
}

std::optional<std::string> HeadlessView::ChooseFolder(const std::string&) { return std::nullopt; }

void HeadlessView::StartTimer(Timer id) {
  // Starting a running timer starts its period again.
  timers_[id] = Clock::now() + options_.tick;
  Log(std::string("timer ") + TimerName(id) + " started");
}

void HeadlessView::StopTimer(Timer id) {
  if (timers_.erase(id) != 0) Log(std::string("timer ") + TimerName(id) + " stopped");
}

void HeadlessView::ShowAbout() {
  std::printf("About KestrioSetup: KestrioSetup Version 1.0\n");
  std::fflush(stdout);
}

void HeadlessView::Close() { running_ = false; }

void HeadlessView::Quit() { running_ = false; }

void HeadlessView::PostToUi(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
  }
  wake_.notify_one();
}

std::optional<HeadlessView::Clock::time_point> HeadlessView::NextTimerDue() const {
  std::optional<Clock::time_point> next;
  for (const auto& [id, due] : timers_)
    if (!next || due < *next) next = due;
  return next;
}

void HeadlessView::FireDueTimers() {
  const Clock::time_point now = Clock::now();
  std::vector<unsigned> due;
  for (const auto& [id, when] : timers_)
    if (when <= now) due.push_back(id);
  for (const unsigned id : due) {
    // An earlier tick of this round may have stopped or restarted this timer.
    const auto it = timers_.find(id);
    if (it == timers_.end() || it->second > now) continue;
    // Ticks that came due while the loop was busy are not made up.
    it->second = now + options_.tick;
    if (dialog_ != nullptr) dialog_->OnTimer(id);
    if (!running_) return;
  }
}

template <typename Done>
void HeadlessView::RunUntil(Done done) {
  while (running_ && !done()) {
    std::function<void()> work;
    {
      std::unique_lock lock(mutex_);
      const auto waiting = [this] { return !queue_.empty(); };
      if (const auto due = NextTimerDue())
        wake_.wait_until(lock, *due, waiting);
      else
        wake_.wait(lock, waiting);
      if (!queue_.empty()) {
        work = std::move(queue_.front());
        queue_.pop_front();
      }
    }
    if (work)
      work();
    else
      FireDueTimers();
  }
}

void HeadlessView::Run() {
  RunUntil([] { return false; });
}

}  // namespace kestrio::app::posix
