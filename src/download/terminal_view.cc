#include <glib.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "download/download_view.h"
#include "platform/temp_dir.h"

namespace {

const int kBarCells = 20;

// A failed write has nowhere left to be reported to.
void writeErr(const std::string& text) { writeAll(2, text.data(), text.size()); }

// The terminal's width; 0 when it does not say.
size_t terminalColumns() {
  struct winsize size = {};
  return ioctl(2, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// At most `columns` - 1 bytes, so that the cursor never wraps and "\r"
// still reaches the line's start; the cut avoids splitting a UTF-8 sequence.
std::string fitColumns(const std::string& line, size_t columns) {
  if (columns == 0 || line.size() < columns)
    return line;
  size_t cut = columns - 1;
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
  return line.substr(0, cut);
}

// A terminal that understands "\r" and the erase and colour sequences. One
// whose TERM is "dumb" (an editor's shell buffer, a serial console) would
// show them as litter: it gets lines, as a pipe does.
bool redrawsInPlace() {
  const char* term = getenv("TERM");
  return isatty(2) == 1 && (term == nullptr || strcmp(term, "dumb") != 0);
}

// NO_COLOR set and not empty: the user wants no colour from any program.
bool colourWanted() {
  const char* noColor = getenv("NO_COLOR");
  return noColor == nullptr || *noColor == '\0';
}

class TerminalView : public DownloadView {
 public:
  TerminalView() : inPlace_(redrawsInPlace()), colour_(colourWanted()) {}
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
  void setProgressText(const std::string& text) override;
  void showNote(const std::string& line) override;
  void setDetailText(const std::string& text) override;
  void setCancelEnabled(bool) override {}
  void displayNow() override { redrawNow(); }
  void close() override;

 private:
  static gboolean onCloseAfterFailure(gpointer self);
  static gboolean onRedraw(gpointer self);
  std::string progressLine(size_t columns) const;
  void redraw();
  void redrawNow();
  int tenths() const;
  void showDetailOnly();
  void finishLine();

  const bool inPlace_;
  const bool colour_;
  DownloadViewDelegate* delegate_ = nullptr;
  double value_ = 0;
  double max_ = 100;
  bool indeterminate_ = false;
  std::string text_;
  std::string detail_;
  TextColor color_ = TextColor::Normal;
  // What the in-place line shows now; empty when no line is open.
  std::string shownLine_;
  guint closeSource_ = 0;
  guint redrawSource_ = 0;
  // On a pipe: the bar's tenths at the last progress text written; -1
  // before the first.
  int tenthsWritten_ = -1;
  std::string progressWritten_;  // the last progress text written there
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

// The status text and its details, after a text bar when the line has room
// for one, so that the text starts at the same column whatever its length;
// no bar while the amount is unknown.
std::string TerminalView::progressLine(size_t columns) const {
  std::string line = text_;
  if (!detail_.empty())
    line += (line.empty() ? "" : "  ") + detail_;
  if (indeterminate_ || max_ <= 0 || text_.empty())
    return line;
  double fraction = value_ / max_;
  fraction = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
  int filled = static_cast<int>(floor(fraction * kBarCells));
  std::string bar = "[" + std::string(filled, '#') + std::string(kBarCells - filled, '-') + "] ";
  return columns != 0 && bar.size() + line.size() >= columns ? line : bar + line;
}

// The controller changes the bar, the percentage and the details one call
// after another: the line is drawn once they have all arrived, from the
// loop, so that it never shows a percentage beside the bytes of another
// moment. At the loop's default priority, as a transfer's sockets are: an
// idle source would wait for the end of a fast download.
void TerminalView::redraw() {
  if (!inPlace_ || closed_ || redrawSource_ != 0)
    return;
  redrawSource_ = g_timeout_add_full(G_PRIORITY_DEFAULT, 0, onRedraw, this, nullptr);
}

gboolean TerminalView::onRedraw(gpointer self) {
  TerminalView* view = static_cast<TerminalView*>(self);
  view->redrawSource_ = 0;
  view->redrawNow();
  return G_SOURCE_REMOVE;
}

// Writes only when the line would change.
void TerminalView::redrawNow() {
  if (redrawSource_ != 0) {
    g_source_remove(redrawSource_);
    redrawSource_ = 0;
  }
  if (!inPlace_ || closed_ || (text_.empty() && detail_.empty()) ||
      color_ == TextColor::Red || text_.find('\n') != std::string::npos)
    return;
  size_t columns = terminalColumns();
  std::string line = fitColumns(progressLine(columns), columns);
  if (line == shownLine_)
    return;
  shownLine_ = line;
  writeErr("\r\033[K" + line);
}

void TerminalView::finishLine() {
  redrawNow();  // what is pending belongs on the line being ended
  if (shownLine_.empty())
    return;
  shownLine_.clear();
  writeErr("\n");
}

int TerminalView::tenths() const {
  if (indeterminate_ || max_ <= 0)
    return 0;
  double fraction = value_ / max_;
  return static_cast<int>(floor((fraction < 0 ? 0 : fraction > 1 ? 1 : fraction) * 10));
}

// A log of a download wants its milestones, not every percent or second.
// The bar decides, not the text: a rounded percentage reaches 10% before
// the bar does.
void TerminalView::setProgressText(const std::string& text) {
  if (inPlace_ || closed_ || color_ == TextColor::Red) {
    setStatusText(text, TextColor::Normal);
    return;
  }
  text_ = text;  // in effect shown: the next line is measured from here
  int now = tenths();
  // A rounded percentage may reach the next tenth's text before the bar
  // does: the same line is never written twice in a row.
  if (now == tenthsWritten_ || text == progressWritten_)
    return;
  tenthsWritten_ = now;
  progressWritten_ = text;
  writeErr(text + "\n");
}

// Above the progress line, which is drawn again under it.
void TerminalView::showNote(const std::string& line) {
  if (closed_ || line.empty())
    return;
  if (!shownLine_.empty()) {
    writeErr("\r\033[K");
    shownLine_.clear();
  }
  writeErr(line + "\n");
  redraw();
}

void TerminalView::setStatusText(const std::string& text, TextColor color) {
  if (closed_ || (text == text_ && color == color_))
    return;
  // A text written below the line ends it as it stands.
  if (color == TextColor::Red || text.find('\n') != std::string::npos)
    redrawNow();
  text_ = text;
  color_ = color;
  if (text.empty()) {
    showDetailOnly();
  } else if (!inPlace_) {
    writeErr(text + "\n");
  } else if (color == TextColor::Red) {
    finishLine();
    writeErr(colour_ ? "\033[31m" + text + "\033[0m\n" : text + "\n");
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

// Details change with every chunk: on a pipe they would be a flood of lines.
void TerminalView::setDetailText(const std::string& text) {
  if (closed_ || text == detail_)
    return;
  detail_ = text;
  // Under a failure the details are its reason: a line of its own after
  // the red text, on a terminal and on a pipe alike.
  if (color_ == TextColor::Red) {
    if (!text.empty())
      writeErr(text + "\n");
    return;
  }
  if (text_.empty())
    showDetailOnly();
  else
    redraw();
}

// Without a status text the line holds the details alone, or goes: a pipe
// gets no blank line.
void TerminalView::showDetailOnly() {
  if (!detail_.empty()) {
    redraw();
    return;
  }
  if (!shownLine_.empty())
    writeErr("\r\033[K");
  shownLine_.clear();
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
  redrawNow();
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
