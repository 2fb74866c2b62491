#ifndef INSTALLER_TESTS_TEST_UTIL_H_
#define INSTALLER_TESTS_TEST_UTIL_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

/// A directory under $TMPDIR or /tmp, removed with its contents at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  /// path() + "/" + name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Environment changes for a child: a value sets, nullopt unsets.
typedef std::map<std::string, std::optional<std::string>> EnvChanges;

struct RunResult {
  int exitCode = -1;  ///< the exit code, 128 + signal when killed, -1 on error
  std::string out;
  std::string err;
};

/// A child process started with its output going to files, so that a test
/// can act on it while it runs (signal it, watch its output) and then wait.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const EnvChanges& env = {},
        const std::string& cwd = "");
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int pid() const { return pid_; }
  /// What it wrote to stderr so far.
  std::string errSoFar() const;
  /// Waits at most `timeoutSeconds`, then kills it; the result once done.
  RunResult wait(int timeoutSeconds = 60);

 private:
  int pid_ = -1;
  bool done_ = false;
  std::string outPath_, errPath_;
};

/// Runs argv[0] (searched on PATH) with `env` applied, in `cwd` when not
/// empty, and waits at most `timeoutSeconds` before killing it.
RunResult runProgram(const std::vector<std::string>& argv, const EnvChanges& env = {},
                     const std::string& cwd = "", int timeoutSeconds = 60);

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool pathExists(const std::string& path);
/// The names in a directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& dir);
/// Mode bits (07777) of `path`, -1 when it does not exist.
int fileMode(const std::string& path);

/// Zips the contents of `dir` into `archive` with the zip tool.
void makeZip(const std::string& archive, const std::string& dir);
/// Splits NUL-terminated fields.
std::vector<std::string> splitNul(const std::string& data);
/// The lines of `text`, without their newlines.
std::vector<std::string> lines(const std::string& text);

// Fakes of the download controller's edges. Each records what it was told.

#include "download/download.h"

struct FakeView : DownloadView {
  void setDelegate(DownloadViewDelegate* d) override { delegate = d; }
  void showSplash(const std::string& path) override { splash = path; }
  void setProgressValue(double v) override { value = v; }
  double progressMaxValue() const override { return max; }
  void setProgressMaxValue(double m) override { max = m; }
  void incrementProgressBy(double delta) override { value += delta; }
  void setIndeterminate(bool i) override { indeterminate = i; }
  void startAnimation() override { animating = true; }
  void stopAnimation() override { animating = false; }
  void setStatusText(const std::string& t, TextColor c) override {
    text = t;
    color = c;
    texts.push_back(t);
  }
  void setProgressText(const std::string& t) override { setStatusText(t, TextColor::Normal); }
  void showNote(const std::string& line) override { notes.push_back(line); }
  void setDetailText(const std::string& t) override { detail = t; }
  void setCancelEnabled(bool e) override { cancelEnabled = e; }
  void displayNow() override {
    ++displays;
    if (closeOnDisplay)
      close();
  }
  void close() override {
    if (closed)
      return;
    closed = true;
    if (delegate)
      delegate->windowWillClose();
  }

  DownloadViewDelegate* delegate = nullptr;
  std::string splash;
  double value = -1, max = 100;
  bool indeterminate = false, animating = false, cancelEnabled = true, closed = false;
  bool closeOnDisplay = false;  ///< the user closes the window as it redraws
  int displays = 0;
  std::string text = "Connecting";
  std::string detail;
  TextColor color = TextColor::Normal;
  std::vector<std::string> texts;
  std::vector<std::string> notes;
};

struct FakeTransfer : Transfer {
  void start(const std::string& u, const std::string& d, const std::string& inm,
             TransferDelegate* del, int64_t maximum) override {
    url = u;
    maximumLength = maximum;
    destination = d;
    ifNoneMatch = inm;
    delegate = del;
    ++starts;
  }
  void cancel() override { ++cancels; }
  std::string effectiveUrl() const override { return redirectedTo.empty() ? url : redirectedTo; }

  std::string url, destination, ifNoneMatch;
  std::string redirectedTo;  ///< where the response is to have come from
  int64_t maximumLength = -2;
  TransferDelegate* delegate = nullptr;
  int starts = 0, cancels = 0;
};

struct FakeLog : SystemLog {
  void write(const std::string& line) override { lines.push_back(line); }
  void writeWarning(const std::string& line) override { warnings.push_back(line); }
  std::vector<std::string> lines, warnings;
};

struct FakeLoop : ApplicationLoop {
  void stop() override { ++stops; }
  void schedule(int ms, std::function<void()> task) override {
    delays.push_back(ms);
    tasks.push_back(std::move(task));
  }
  void runPending() override {
    ++pendingRuns;
    if (duringRunPending)
      duringRunPending();
  }
  /// Runs the tasks scheduled so far, as the loop would.
  void runScheduled() {
    std::vector<std::function<void()>> due;
    due.swap(tasks);
    for (auto& task : due)
      task();
  }
  int stops = 0;
  int pendingRuns = 0;
  std::function<void()> duringRunPending;  ///< what the user did meanwhile
  std::vector<int> delays;
  std::vector<std::function<void()>> tasks;
};

struct FakeLock : CacheLock {
  State tryLock(std::string* error) override {
    ++tries;
    if (state == State::Failed)
      *error = "Cannot use the install agent cache: /x/.lock: Not a directory";
    return state;
  }
  State state = State::Acquired;
  int tries = 0;
};

#endif  // INSTALLER_TESTS_TEST_UTIL_H_
