#include <errno.h>
#include <glib.h>
#include <math.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "download/download_view.h"

namespace {

const int kBarCells = 20;

void writeErr(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(2, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;  // nowhere left to report to
    done += n;
  }
}

// At most `columns` - 1 bytes, so that the cursor never wraps and "\r"
// still reaches the line's start; the cut avoids splitting a UTF-8 sequence.
std::string fitColumns(const std::string& line) {
  struct winsize size = {};
  if (ioctl(2, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || line.size() < size.ws_col)
    return line;
  size_t cut = size.ws_col - 1;
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
  return line.substr(0, cut);
}

class TerminalView : public DownloadView {
 public:
  TerminalView() : inPlace_(isatty(2) == 1) {}
  ~TerminalView() override;

  void setDelegate(DownloadViewDelegate* delegate) override { delegate_ = delegate; }
  void showSplash(const std::string&) override {}
  void setProgressValue(double value) override;
  double progressMaxValue() const override { return max_; }
  void setProgressMaxValue(double max) override;
  void incrementProgressBy(double delta) override { setProgressValue(value_ + delta); }
  void setIndeterminate(bool indeterminate) override;
  void startAnimation() override {}
  void stopAnimation() override {}
  void setStatusText(const std::string& text, TextColor color) override;
  void setCancelEnabled(bool) override {}
  void displayNow() override {}
  void close() override;

 private:
  static gboolean onCloseAfterFailure(gpointer self);
  std::string progressLine() const;
  void redraw();
  void finishLine();

  const bool inPlace_;
  DownloadViewDelegate* delegate_ = nullptr;
  double value_ = 0;
  double max_ = 100;
  bool indeterminate_ = false;
  std::string text_;
  TextColor color_ = TextColor::Normal;
  // What the in-place line shows now; empty when no line is open.
  std::string shownLine_;
  guint closeSource_ = 0;
  bool closed_ = false;
};

TerminalView::~TerminalView() {
  if (closeSource_ != 0)
    g_source_remove(closeSource_);
  finishLine();
}

void TerminalView::setProgressValue(double value) {
  value_ = value;
  redraw();
}

void TerminalView::setProgressMaxValue(double max) {
  max_ = max;
  redraw();
}

void TerminalView::setIndeterminate(bool indeterminate) {
  indeterminate_ = indeterminate;
  redraw();
}

// A text bar before the status text, so that the text starts at the same
// column whatever its length; none while the amount is unknown.
std::string TerminalView::progressLine() const {
  if (indeterminate_ || max_ <= 0)
    return text_;
  double fraction = value_ / max_;
  fraction = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
  int filled = static_cast<int>(floor(fraction * kBarCells));
  return "[" + std::string(filled, '#') + std::string(kBarCells - filled, '-') + "] " + text_;
}

// Called on every data chunk: writes only when the line would change.
void TerminalView::redraw() {
  if (!inPlace_ || closed_ || text_.empty() || color_ == TextColor::Red ||
      text_.find('\n') != std::string::npos)
    return;
  std::string line = fitColumns(progressLine());
  if (line == shownLine_)
    return;
  shownLine_ = line;
  writeErr("\r\033[K" + line);
}

void TerminalView::finishLine() {
  if (shownLine_.empty())
    return;
  shownLine_.clear();
  writeErr("\n");
}

void TerminalView::setStatusText(const std::string& text, TextColor color) {
  if (closed_ || (text == text_ && color == color_))
    return;
  text_ = text;
  color_ = color;
  if (text.empty()) {
    // Back to no text: an in-place line goes; a pipe gets no blank line.
    if (!shownLine_.empty())
      writeErr("\r\033[K");
    shownLine_.clear();
  } else if (!inPlace_) {
    writeErr(text + "\n");
  } else if (color == TextColor::Red) {
    finishLine();
    writeErr("\033[31m" + text + "\033[0m\n");
  } else if (text.find('\n') != std::string::npos) {
    // "\r" cannot return over a line break: such a text is not redrawn.
    finishLine();
    writeErr(text + "\n");
  } else {
    redraw();
  }
  // Nobody can dismiss a failure on a terminal. Closing from the loop keeps
  // the delegate out of the controller's own call.
  if (color == TextColor::Red && closeSource_ == 0)
    closeSource_ = g_idle_add(onCloseAfterFailure, this);
}

gboolean TerminalView::onCloseAfterFailure(gpointer self) {
  TerminalView* view = static_cast<TerminalView*>(self);
  view->closeSource_ = 0;
  view->close();
  return G_SOURCE_REMOVE;
}

void TerminalView::close() {
  if (closed_)
    return;
  closed_ = true;
  if (closeSource_ != 0) {
    g_source_remove(closeSource_);
    closeSource_ = 0;
  }
  finishLine();
  // Last, since the delegate may delete the view.
  if (delegate_ != nullptr)
    delegate_->windowWillClose();
}

}  // namespace

std::unique_ptr<DownloadView> makeTerminalView() { return std::make_unique<TerminalView>(); }
