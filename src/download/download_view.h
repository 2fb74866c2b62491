#ifndef INSTALLER_DOWNLOAD_DOWNLOAD_VIEW_H_
#define INSTALLER_DOWNLOAD_DOWNLOAD_VIEW_H_

#include <memory>
#include <string>

/// Told when the view goes away, by whatever means: the window closed, the
/// Cancel button (or its mnemonic), Escape, or `close()`. Return is not one.
struct DownloadViewDelegate {
  virtual void windowWillClose() = 0;

 protected:
  ~DownloadViewDelegate() = default;
};

/// What the download controller shows: a splash image, a progress bar, a
/// status text with a line of details and a Cancel button, in a window or
/// on a terminal.
struct DownloadView {
  enum class TextColor { Normal, Red };

  virtual ~DownloadView() = default;
  /// Who hears of the view's closing; set before the loop runs.
  virtual void setDelegate(DownloadViewDelegate* delegate) = 0;
  /// Shows the image at `pngPath`, scaled proportionally into 400x400.
  virtual void showSplash(const std::string& pngPath) = 0;

  /// The progress bar: value within [0, max]; indeterminate bars pulse
  /// while animating.
  virtual void setProgressValue(double value) = 0;
  virtual double progressMaxValue() const = 0;
  virtual void setProgressMaxValue(double max) = 0;
  virtual void incrementProgressBy(double delta) = 0;
  virtual void setIndeterminate(bool indeterminate) = 0;
  virtual void startAnimation() = 0;
  virtual void stopAnimation() = 0;

  /// The one status text (may hold a newline), in the given colour. A red
  /// text is a failure: the view then no longer reads as a running or a
  /// finished download.
  virtual void setStatusText(const std::string& text, TextColor color) = 0;
  /// A status text that updates the one before it (a percentage, a
  /// countdown): shown as a normal text, but a view that writes lines
  /// writes it only once the bar has gained a tenth since the last one.
  virtual void setProgressText(const std::string& text) = 0;
  /// A line apart from the status (where a download comes from, what it
  /// took): a line of its own on a terminal, the detail line in a window.
  virtual void showNote(const std::string& line) = 0;
  /// A line of details under the status (sizes, speed, time left); empty
  /// for none.
  virtual void setDetailText(const std::string& text) = 0;
  virtual void setCancelEnabled(bool enabled) = 0;
  /// Shows what was set so far now, before a long synchronous step.
  virtual void displayNow() = 0;
  /// Closes the view; the delegate's `windowWillClose` follows, once.
  virtual void close() = 0;
};

/// The GTK 3 window, from the interface compiled into the program. Call
/// only after gtk_init_check succeeded.
std::unique_ptr<DownloadView> makeWindowView();

/// The colour ("#rrggbb") of a failure's text on a background of red,
/// green and blue in [0, 1]: a red with a contrast of at least 4.5 to it.
std::string errorColourOn(double r, double g, double b);

/// The view on standard error for runs without a display: one progress
/// line (status and details), redrawn in place on a terminal once per pass
/// of the main loop, so that its parts always agree; plain lines on a pipe
/// or file (one per change of status text, progress texts only per tenth,
/// no details). Notes are lines of their own. A red text is a failure: it
/// is printed and the view closes itself from the main loop, since nobody
/// can close it.
std::unique_ptr<DownloadView> makeTerminalView();

/// A view that opens the window only once it has something to show (a
/// text, a moving bar, a note) or `appearAfterMilliseconds` have passed,
/// whichever comes first; never when it is closed before. `open` gives the
/// window, or null, and the terminal view then takes its place. Needs the
/// GLib main loop; `open` is called on it at most once.
std::unique_ptr<DownloadView> makeLazyView(DownloadView* (*open)(), int appearAfterMilliseconds);

#endif  // INSTALLER_DOWNLOAD_DOWNLOAD_VIEW_H_
