// The window, opened late. Loading GTK and mapping a window costs several
// times what a cache hit does, and a window that appears only to vanish is a
// flash on screen. So the request goes out first, and the window opens
// once it has something to show: a text (a download has begun, a wait for
// the lock or for a retry, a failure), a moving bar, a note; or once a
// second has passed without an answer. Until then this view keeps what it
// is told, and hands it all to the window when that opens. Closed before,
// it never opens one.
#include <glib.h>

#include "download/download_view.h"

namespace {

class LazyView : public DownloadView {
 public:
  LazyView(DownloadView* (*open)(), int appearAfterMilliseconds) : open_(open) {
    timer_ = g_timeout_add(static_cast<guint>(appearAfterMilliseconds), onTimer, this);
  }
  ~LazyView() override {
    if (timer_ != 0)
      g_source_remove(timer_);
  }

  void setDelegate(DownloadViewDelegate* delegate) override {
    delegate_ = delegate;
    if (inner_)
      inner_->setDelegate(delegate);
  }
  void showSplash(const std::string& pngPath) override {
    splash_ = pngPath;
    if (inner_)
      inner_->showSplash(pngPath);
  }
  void setProgressValue(double value) override {
    value_ = value;
    if (inner_)
      inner_->setProgressValue(value);
  }
  double progressMaxValue() const override { return max_; }
  void setProgressMaxValue(double max) override {
    max_ = max;
    if (inner_)
      inner_->setProgressMaxValue(max);
  }
  void incrementProgressBy(double delta) override {
    value_ += delta;
    if (inner_)
      inner_->incrementProgressBy(delta);
  }
  void setIndeterminate(bool indeterminate) override {
    indeterminate_ = indeterminate;
    if (indeterminate && animating_)
      appear();
    if (inner_)
      inner_->setIndeterminate(indeterminate);
  }
  void startAnimation() override {
    animating_ = true;
    appear();
    if (inner_)
      inner_->startAnimation();
  }
  void stopAnimation() override {
    animating_ = false;
    if (inner_)
      inner_->stopAnimation();
  }
  void setStatusText(const std::string& text, TextColor color) override {
    text_ = text;
    color_ = color;
    if (!text.empty())
      appear();
    if (inner_)
      inner_->setStatusText(text, color);
  }
  void setProgressText(const std::string& text) override {
    text_ = text;
    color_ = TextColor::Normal;
    if (!text.empty())
      appear();
    if (inner_)
      inner_->setProgressText(text);
  }
  void showNote(const std::string& line) override {
    appear();
    if (inner_)
      inner_->showNote(line);
  }
  void setDetailText(const std::string& text) override {
    detail_ = text;
    if (!text.empty())
      appear();
    if (inner_)
      inner_->setDetailText(text);
  }
  void setCancelEnabled(bool enabled) override {
    cancelEnabled_ = enabled;
    if (inner_)
      inner_->setCancelEnabled(enabled);
  }
  void displayNow() override {
    appear();
    if (inner_)
      inner_->displayNow();
  }
  void close() override {
    if (inner_) {
      inner_->close();
      return;
    }
    if (closed_)
      return;
    closed_ = true;
    stopTimer();
    // Last, since the delegate may delete the view.
    if (delegate_ != nullptr)
      delegate_->windowWillClose();
  }

 private:
  static gboolean onTimer(gpointer self) {
    LazyView* view = static_cast<LazyView*>(self);
    view->timer_ = 0;
    view->appear();
    return G_SOURCE_REMOVE;
  }

  void stopTimer() {
    if (timer_ != 0)
      g_source_remove(timer_);
    timer_ = 0;
  }

  // Opens the window (or, without one after all, the terminal view) and
  // gives it everything said so far.
  void appear() {
    if (inner_ || closed_)
      return;
    stopTimer();
    inner_.reset(open_());
    if (!inner_)
      inner_ = makeTerminalView();
    inner_->setDelegate(delegate_);
    if (!splash_.empty())
      inner_->showSplash(splash_);
    inner_->setProgressMaxValue(max_);
    inner_->setProgressValue(value_);
    inner_->setIndeterminate(indeterminate_);
    if (animating_)
      inner_->startAnimation();
    if (!text_.empty())
      inner_->setStatusText(text_, color_);
    inner_->setDetailText(detail_);
    inner_->setCancelEnabled(cancelEnabled_);
  }

  DownloadView* (*open_)();
  std::unique_ptr<DownloadView> inner_;
  DownloadViewDelegate* delegate_ = nullptr;
  guint timer_ = 0;
  bool closed_ = false;

  std::string splash_;
  double value_ = 0;
  double max_ = 100;
  bool indeterminate_ = false;
  bool animating_ = false;
  bool cancelEnabled_ = true;
  std::string text_;
  TextColor color_ = TextColor::Normal;
  std::string detail_;
};

}  // namespace

std::unique_ptr<DownloadView> makeLazyView(DownloadView* (*open)(), int appearAfterMilliseconds) {
  return std::make_unique<LazyView>(open, appearAfterMilliseconds);
}
