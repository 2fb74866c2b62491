#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "download/download_view.h"
#include "test_util.h"

namespace {

const char kFailure[] =
    "Error during the download process.\nSee your system log for more information.";

struct CountingDelegate : DownloadViewDelegate {
  int closes = 0;
  void windowWillClose() override { ++closes; }
};

// Runs the default main context until `done` holds or `milliseconds` pass.
template <typename Predicate>
bool processUntil(Predicate done, gint64 milliseconds) {
  gint64 deadline = g_get_monotonic_time() + milliseconds * 1000;
  while (!done()) {
    if (g_get_monotonic_time() >= deadline)
      return false;
    if (!g_main_context_iteration(nullptr, FALSE))
      g_usleep(2000);
  }
  return true;
}

void process(gint64 milliseconds) {
  processUntil([] { return false; }, milliseconds);
}

GtkWidget* installerWindow() {
  GList* toplevels = gtk_window_list_toplevels();
  GtkWidget* found = nullptr;
  for (GList* item = toplevels; item != nullptr; item = item->next) {
    if (gtk_window_get_window_type(GTK_WINDOW(item->data)) == GTK_WINDOW_TOPLEVEL)
      found = GTK_WIDGET(item->data);
  }
  g_list_free(toplevels);
  return found;
}

// The window's widgets, found by type; labels inside buttons are not the
// status label.
struct Parts {
  GtkImage* image = nullptr;
  GtkProgressBar* bar = nullptr;
  GtkLabel* label = nullptr;
  GtkLabel* detail = nullptr;
  GtkButton* button = nullptr;
};

void collect(GtkWidget* widget, gpointer data) {
  Parts* parts = static_cast<Parts*>(data);
  if (GTK_IS_IMAGE(widget) && parts->image == nullptr)
    parts->image = GTK_IMAGE(widget);
  else if (GTK_IS_PROGRESS_BAR(widget) && parts->bar == nullptr)
    parts->bar = GTK_PROGRESS_BAR(widget);
  else if (GTK_IS_BUTTON(widget) && parts->button == nullptr)
    parts->button = GTK_BUTTON(widget);
  else if (GTK_IS_LABEL(widget) && parts->label == nullptr)
    parts->label = GTK_LABEL(widget);
  else if (GTK_IS_LABEL(widget) && parts->detail == nullptr)
    parts->detail = GTK_LABEL(widget);
  if (GTK_IS_CONTAINER(widget) && !GTK_IS_BUTTON(widget))
    gtk_container_forall(GTK_CONTAINER(widget), collect, data);
}

GtkAllocation allocationOf(gpointer widget) {
  GtkAllocation area;
  gtk_widget_get_allocation(GTK_WIDGET(widget), &area);
  return area;
}

struct Rgb {
  int r, g, b;
};

// What the X server shows of the toplevel, not what GTK thinks it drew.
class Screenshot {
 public:
  explicit Screenshot(GtkWidget* window) {
    GdkWindow* gdkWindow = gtk_widget_get_window(window);
    pixbuf_ = gdk_pixbuf_get_from_window(gdkWindow, 0, 0, gdk_window_get_width(gdkWindow),
                                         gdk_window_get_height(gdkWindow));
  }
  ~Screenshot() {
    if (pixbuf_ != nullptr)
      g_object_unref(pixbuf_);
  }
  bool ok() const { return pixbuf_ != nullptr; }
  Rgb at(int x, int y) const {
    ptrdiff_t offset = static_cast<ptrdiff_t>(y) * gdk_pixbuf_get_rowstride(pixbuf_) +
                       static_cast<ptrdiff_t>(x) * gdk_pixbuf_get_n_channels(pixbuf_);
    const guchar* p = gdk_pixbuf_get_pixels(pixbuf_) + offset;
    return {p[0], p[1], p[2]};
  }
  template <typename Test>
  int count(const GtkAllocation& area, Test test) const {
    int n = 0;
    for (int y = area.y; y < area.y + area.height; ++y) {
      for (int x = area.x; x < area.x + area.width; ++x) n += test(at(x, y)) ? 1 : 0;
    }
    return n;
  }
  /// The bar's middle row, left to right.
  std::vector<Rgb> row(const GtkAllocation& area) const {
    std::vector<Rgb> pixels;
    for (int x = area.x; x < area.x + area.width; ++x)
      pixels.push_back(at(x, area.y + area.height / 2));
    return pixels;
  }
  void save(const std::string& name) const {
    g_mkdir_with_parents(SCREENSHOT_DIR, 0755);
    std::string path = std::string(SCREENSHOT_DIR) + "/" + name;
    EXPECT_TRUE(gdk_pixbuf_save(pixbuf_, path.c_str(), "png", nullptr, nullptr)) << path;
  }

 private:
  GdkPixbuf* pixbuf_ = nullptr;
};

// Relative luminance of an sRGB colour, parts in [0, 1].
double luminanceOf(double r, double g, double b) {
  auto linear = [](double c) { return c <= 0.04045 ? c / 12.92 : pow((c + 0.055) / 1.055, 2.4); };
  return 0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b);
}

bool isRed(const Rgb& p) { return p.r >= 150 && p.g <= 90 && p.b <= 90; }

// The theme's fill is a saturated blue; its trough is grey.
bool isFill(const Rgb& p) { return p.b >= p.r + 60; }

double filledShare(const std::vector<Rgb>& row) {
  int filled = 0;
  for (const Rgb& p : row) filled += isFill(p) ? 1 : 0;
  return row.empty() ? 0 : static_cast<double>(filled) / static_cast<double>(row.size());
}

bool sameRow(const std::vector<Rgb>& a, const std::vector<Rgb>& b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].r != b[i].r || a[i].g != b[i].g || a[i].b != b[i].b)
      return false;
  }
  return true;
}

gboolean countDraw(GtkWidget*, cairo_t*, gpointer draws) {
  ++*static_cast<int*>(draws);
  return FALSE;
}

void writePng(const std::string& path, int width, int height, guint32 rgba) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, rgba);
  ASSERT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr));
  g_object_unref(pixbuf);
}

class WindowViewTest : public testing::Test {
 protected:
  void SetUp() override {
    view_ = makeWindowView();
    view_->setDelegate(&delegate_);
  }

  void TearDown() override {
    view_.reset();
    process(20);
  }

  /// Lets the loop show the window; true once it is mapped and painted.
  bool showWindow() {
    bool shown = processUntil(
        [this] {
          return (window_ = installerWindow()) != nullptr && gtk_widget_get_mapped(window_);
        },
        5000);
    if (!shown)
      return false;
    g_signal_connect_after(window_, "draw", G_CALLBACK(countDraw), &draws_);
    gtk_container_forall(GTK_CONTAINER(window_), collect, &parts_);
    gtk_widget_queue_draw(window_);
    return processUntil([this] { return draws_ > 0; }, 5000);
  }

  void sendKey(guint keyval) {
    GdkWindow* gdkWindow = gtk_widget_get_window(window_);
    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gdkWindow));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.keyval = keyval;
    GdkKeymapKey* keys = nullptr;
    gint n = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gdk_display_get_default()),
                                          keyval, &keys, &n) &&
        n > 0) {
      event->key.hardware_keycode = keys[0].keycode;
    }
    g_free(keys);
    gdk_event_set_device(
        event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
    gtk_main_do_event(event);
    gdk_event_free(event);
  }

  void expectClosedOnce() {
    EXPECT_EQ(1, delegate_.closes);
    EXPECT_FALSE(gtk_widget_get_visible(window_));
    // No way of closing may reach the delegate a second time.
    sendKey(GDK_KEY_Escape);
    gtk_button_clicked(parts_.button);
    view_->close();
    process(50);
    EXPECT_EQ(1, delegate_.closes);
  }

  void expectCentred() {
    GdkWindow* gdkWindow = gtk_widget_get_window(window_);
    int x = 0, y = 0;
    gdk_window_get_origin(gdkWindow, &x, &y);
    GdkRectangle screen;
    gdk_monitor_get_geometry(
        gdk_display_get_monitor_at_window(gdk_display_get_default(), gdkWindow), &screen);
    EXPECT_NEAR(screen.x + (screen.width - gdk_window_get_width(gdkWindow)) / 2.0, x, 2);
    EXPECT_NEAR(screen.y + (screen.height - gdk_window_get_height(gdkWindow)) / 2.0, y, 2);
  }

  CountingDelegate delegate_;
  std::unique_ptr<DownloadView> view_;
  GtkWidget* window_ = nullptr;
  Parts parts_;
  int draws_ = 0;
};

TEST_F(WindowViewTest, AppearsCentredAndFixedWithBarLabelAndCancel) {
  ASSERT_TRUE(showWindow());
  EXPECT_STREQ("Installer", gtk_window_get_title(GTK_WINDOW(window_)));
  EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(window_)));
  ASSERT_NE(nullptr, parts_.image);
  ASSERT_NE(nullptr, parts_.bar);
  ASSERT_NE(nullptr, parts_.label);
  ASSERT_NE(nullptr, parts_.button);
  EXPECT_EQ(GTK_IMAGE_EMPTY, gtk_image_get_storage_type(parts_.image));
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(parts_.bar)));
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(parts_.label)));
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(parts_.button)));
  EXPECT_STREQ("_Cancel", gtk_button_get_label(parts_.button));
  EXPECT_TRUE(gtk_widget_is_sensitive(GTK_WIDGET(parts_.button)));
  EXPECT_LT(allocationOf(parts_.bar).y, allocationOf(parts_.label).y);
  EXPECT_LT(allocationOf(parts_.label).y, allocationOf(parts_.button).y);

  GdkWindow* gdkWindow = gtk_widget_get_window(window_);
  int width = gdk_window_get_width(gdkWindow);
  int height = gdk_window_get_height(gdkWindow);
  EXPECT_NEAR(440, width, 20);
  expectCentred();

  // Neither a long text nor a second line may resize the window.
  view_->setStatusText(std::string(300, 'x'), DownloadView::TextColor::Normal);
  view_->displayNow();
  process(100);
  EXPECT_EQ(width, gdk_window_get_width(gdkWindow));
  EXPECT_EQ(height, gdk_window_get_height(gdkWindow));
  view_->setStatusText(kFailure, DownloadView::TextColor::Red);
  view_->displayNow();
  process(100);
  EXPECT_EQ(width, gdk_window_get_width(gdkWindow));
  EXPECT_EQ(height, gdk_window_get_height(gdkWindow));
  // Nor a status with its line of details.
  view_->setStatusText("Downloading  42%", DownloadView::TextColor::Normal);
  view_->setDetailText(std::string(300, 'y'));
  view_->displayNow();
  process(100);
  EXPECT_EQ(width, gdk_window_get_width(gdkWindow));
  EXPECT_EQ(height, gdk_window_get_height(gdkWindow));
  EXPECT_EQ(0, delegate_.closes) << "a failure in the window waits for the user";
}

TEST_F(WindowViewTest, StatusTextAndBarShowTheDownload) {
  ASSERT_TRUE(showWindow());
  view_->setProgressMaxValue(1000);
  EXPECT_EQ(1000, view_->progressMaxValue());
  view_->setProgressValue(300);
  view_->incrementProgressBy(70);
  view_->setStatusText("Downloading  37%", DownloadView::TextColor::Normal);
  ASSERT_NE(nullptr, parts_.detail);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(parts_.detail)));  // no empty gap
  view_->setDetailText("18.5 MiB of 50.0 MiB  15.2 MiB/s  3 s left");
  view_->displayNow();
  EXPECT_STREQ("Downloading  37%", gtk_label_get_text(parts_.label));
  EXPECT_STREQ("18.5 MiB of 50.0 MiB  15.2 MiB/s  3 s left", gtk_label_get_text(parts_.detail));
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(parts_.detail)));
  EXPECT_LT(allocationOf(parts_.label).y, allocationOf(parts_.detail).y);
  EXPECT_LT(allocationOf(parts_.detail).y, allocationOf(parts_.button).y);
  EXPECT_DOUBLE_EQ(0.37, gtk_progress_bar_get_fraction(parts_.bar));
  Screenshot shot(window_);
  ASSERT_TRUE(shot.ok());
  shot.save("window-downloading.png");
  EXPECT_NEAR(0.37, filledShare(shot.row(allocationOf(parts_.bar))), 0.04);
  EXPECT_EQ(0, shot.count(allocationOf(parts_.label), isRed));
  EXPECT_GT(shot.count(allocationOf(parts_.label), [](const Rgb& p) { return p.r < 100; }), 50)
      << "the text is drawn";

  // The controller repeats the text on every chunk: that must not repaint.
  process(100);
  draws_ = 0;
  for (int i = 0; i < 1000; ++i) {
    view_->setStatusText("Downloading  37%", DownloadView::TextColor::Normal);
    view_->setDetailText("18.5 MiB of 50.0 MiB  15.2 MiB/s  3 s left");
    view_->setProgressValue(370);
  }
  process(150);
  EXPECT_EQ(0, draws_);

  view_->incrementProgressBy(630);
  view_->displayNow();
  EXPECT_GT(draws_, 0);
  EXPECT_DOUBLE_EQ(1.0, gtk_progress_bar_get_fraction(parts_.bar));
  Screenshot full(window_);
  ASSERT_TRUE(full.ok());
  EXPECT_GT(filledShare(full.row(allocationOf(parts_.bar))), 0.95);
}

// Where the download comes from stays on the detail line long enough to be
// read, though details follow at once.
TEST_F(WindowViewTest, NoteHoldsTheDetailLineForAMoment) {
  ASSERT_TRUE(showWindow());
  const char note[] = "Connected to downloads.vendor.example, 50.0 MiB";
  view_->showNote(note);
  view_->setDetailText("1.0 MiB of 50.0 MiB");
  process(500);
  EXPECT_STREQ(note, gtk_label_get_text(parts_.detail));
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(parts_.detail)));
  view_->setDetailText("2.0 MiB of 50.0 MiB");
  EXPECT_TRUE(processUntil(
      [this] { return std::string("2.0 MiB of 50.0 MiB") == gtk_label_get_text(parts_.detail); },
      3000));
}

TEST_F(WindowViewTest, FailureIsRedOnTwoLinesAndNormalTextIsNot) {
  ASSERT_TRUE(showWindow());
  view_->setProgressValue(100);
  view_->setStatusText(kFailure, DownloadView::TextColor::Red);
  view_->displayNow();  // nothing else runs the loop before the screenshot
  Screenshot shot(window_);
  ASSERT_TRUE(shot.ok());
  shot.save("window-failure.png");
  EXPECT_STREQ(kFailure, gtk_label_get_text(parts_.label));
  EXPECT_EQ(2, pango_layout_get_line_count(gtk_label_get_layout(parts_.label)));
  GtkAllocation label = allocationOf(parts_.label);
  EXPECT_GT(shot.count(label, isRed), 100);
  GtkAllocation secondLine = label;
  secondLine.y += label.height / 2;
  secondLine.height -= label.height / 2;
  EXPECT_GT(shot.count(secondLine, isRed), 50) << "both lines are red";
  // Neither a finished download nor one still running: an empty, dimmed
  // bar, and a button that closes, even where the unpacking disabled it.
  EXPECT_LT(filledShare(shot.row(allocationOf(parts_.bar))), 0.05);
  EXPECT_FALSE(gtk_widget_is_sensitive(GTK_WIDGET(parts_.bar)));
  EXPECT_STREQ("_Close", gtk_button_get_label(parts_.button));
  view_->setCancelEnabled(false);
  EXPECT_TRUE(gtk_widget_is_sensitive(GTK_WIDGET(parts_.button)));

  // Markup characters in a text are shown, not interpreted.
  view_->setStatusText("Can't reach <host> & retry", DownloadView::TextColor::Red);
  EXPECT_STREQ("Can't reach <host> & retry", gtk_label_get_text(parts_.label));

  view_->setStatusText("Connecting...", DownloadView::TextColor::Normal);
  view_->displayNow();
  Screenshot normal(window_);
  ASSERT_TRUE(normal.ok());
  EXPECT_EQ(0, normal.count(allocationOf(parts_.label), isRed));
}

TEST_F(WindowViewTest, PulsesOnlyWhileIndeterminateAndAnimating) {
  ASSERT_TRUE(showWindow());
  auto barRow = [this] { return Screenshot(window_).row(allocationOf(parts_.bar)); };
  view_->setIndeterminate(true);
  view_->startAnimation();
  process(150);
  std::vector<Rgb> before = barRow();
  // A loaded machine may skip frames: give the pulse a few chances.
  bool moved = false;
  for (int i = 0; i < 10 && !moved; ++i) {
    process(200);
    moved = !sameRow(before, barRow());
  }
  EXPECT_TRUE(moved) << "the bar moves";

  view_->stopAnimation();
  process(500);  // a frame already queued may still land
  before = barRow();
  process(300);
  EXPECT_TRUE(sameRow(before, barRow())) << "a stopped bar stands still";

  view_->setIndeterminate(false);
  view_->setProgressValue(50);
  view_->startAnimation();
  process(150);
  before = barRow();
  EXPECT_NEAR(0.5, filledShare(before), 0.04);
  process(300);
  EXPECT_TRUE(sameRow(before, barRow())) << "a determinate bar does not pulse";
}

TEST_F(WindowViewTest, CancelClickCloses) {
  ASSERT_TRUE(showWindow());
  gtk_button_clicked(parts_.button);
  expectClosedOnce();
}

TEST_F(WindowViewTest, EscapeClosesEvenWithCancelDisabled) {
  ASSERT_TRUE(showWindow());
  view_->setCancelEnabled(false);
  sendKey(GDK_KEY_Escape);
  expectClosedOnce();
}

// Return means "go on" on this desktop: it never cancels, not even through
// the focused button. The button's mnemonic does.
TEST_F(WindowViewTest, ReturnNeverClosesTheMnemonicDoes) {
  ASSERT_TRUE(showWindow());
  gtk_widget_grab_focus(GTK_WIDGET(parts_.button));
  for (guint key : {GDK_KEY_Return, GDK_KEY_KP_Enter, GDK_KEY_ISO_Enter})
    sendKey(key);
  process(50);
  EXPECT_EQ(0, delegate_.closes);
  EXPECT_TRUE(gtk_widget_get_visible(window_));

  GtkLabel* label = GTK_LABEL(gtk_bin_get_child(GTK_BIN(parts_.button)));
  EXPECT_EQ(GDK_KEY_c, gtk_label_get_mnemonic_keyval(label));
  EXPECT_TRUE(gtk_window_mnemonic_activate(GTK_WINDOW(window_), GDK_KEY_c,
                                           gtk_window_get_mnemonic_modifier(GTK_WINDOW(window_))));
  // The button shows itself pressed for a moment, then clicks.
  processUntil([this] { return delegate_.closes > 0; }, 2000);
  expectClosedOnce();
}

// The failure's red reads on the light and on the dark Adwaita: a contrast
// of 4.5 to the window's background at least.
TEST_F(WindowViewTest, FailureTextIsReadableOnLightAndDarkThemes) {
  ASSERT_TRUE(showWindow());
  GtkSettings* settings = gtk_settings_get_default();
  for (gboolean dark : std::vector<gboolean>{FALSE, TRUE}) {
    SCOPED_TRACE(dark ? "dark" : "light");
    g_object_set(settings, "gtk-application-prefer-dark-theme", dark, nullptr);
    process(50);
    view_->setStatusText("", DownloadView::TextColor::Normal);
    view_->setStatusText(kFailure, DownloadView::TextColor::Red);
    GdkRGBA background;
    ASSERT_TRUE(gtk_style_context_lookup_color(gtk_widget_get_style_context(window_),
                                               "theme_bg_color", &background));
    EXPECT_EQ(dark, luminanceOf(background.red, background.green, background.blue) < 0.18);
    PangoAttrIterator* it =
        pango_attr_list_get_iterator(pango_layout_get_attributes(gtk_label_get_layout(parts_.label)));
    auto* colour = reinterpret_cast<PangoAttrColor*>(pango_attr_iterator_get(it, PANGO_ATTR_FOREGROUND));
    ASSERT_NE(nullptr, colour);
    double text = luminanceOf(colour->color.red / 65535.0, colour->color.green / 65535.0,
                              colour->color.blue / 65535.0);
    double back = luminanceOf(background.red, background.green, background.blue);
    EXPECT_GE((fmax(text, back) + 0.05) / (fmin(text, back) + 0.05), 4.5);
    EXPECT_GT(colour->color.red, colour->color.green + 0x4000) << "and it is red";
    pango_attr_iterator_destroy(it);
    if (dark) {
      view_->displayNow();
      Screenshot shot(window_);
      ASSERT_TRUE(shot.ok());
      shot.save("window-failure-dark.png");
    }
  }
  g_object_set(settings, "gtk-application-prefer-dark-theme", FALSE, nullptr);
}

TEST_F(WindowViewTest, WindowManagerCloseCloses) {
  ASSERT_TRUE(showWindow());
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window_)));
  gtk_main_do_event(event);
  gdk_event_free(event);
  expectClosedOnce();
}

TEST_F(WindowViewTest, ProgramCloseTellsTheDelegateOnce) {
  ASSERT_TRUE(showWindow());
  view_->close();
  expectClosedOnce();
}

TEST_F(WindowViewTest, SplashIsScaledIntoTheSquareAboveTheBar) {
  ScratchDir scratch;
  writePng(scratch / "splash.png", 800, 400, 0x2e8b57ff);
  // As in the program: the window is on screen before the controller finds
  // the splash.
  ASSERT_TRUE(showWindow());
  view_->showSplash(scratch / "splash.png");
  view_->setIndeterminate(true);
  view_->setStatusText("Connecting...", DownloadView::TextColor::Normal);
  view_->displayNow();
  process(50);

  ASSERT_EQ(GTK_IMAGE_PIXBUF, gtk_image_get_storage_type(parts_.image));
  GdkPixbuf* shown = gtk_image_get_pixbuf(parts_.image);
  EXPECT_EQ(400, gdk_pixbuf_get_width(shown));
  EXPECT_EQ(200, gdk_pixbuf_get_height(shown));
  EXPECT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(parts_.image)));
  GtkAllocation image = allocationOf(parts_.image);
  EXPECT_LT(image.y + image.height, allocationOf(parts_.bar).y);
  EXPECT_NEAR(440, gdk_window_get_width(gtk_widget_get_window(window_)), 20);
  expectCentred();

  Screenshot shot(window_);
  ASSERT_TRUE(shot.ok());
  shot.save("window-splash.png");
  Rgb centre = shot.at(image.x + image.width / 2, image.y + image.height / 2);
  EXPECT_EQ(0x2e, centre.r);
  EXPECT_EQ(0x8b, centre.g);
  EXPECT_EQ(0x57, centre.b);
}

TEST_F(WindowViewTest, MissingOrBrokenSplashLeavesTheImageEmpty) {
  ScratchDir scratch;
  writePng(scratch / "good.png", 100, 300, 0x000000ff);
  writeFile(scratch / "broken.png", "not a picture");
  view_->showSplash(scratch / "missing.png");
  ASSERT_TRUE(showWindow());
  EXPECT_EQ(GTK_IMAGE_EMPTY, gtk_image_get_storage_type(parts_.image));

  view_->showSplash(scratch / "good.png");
  ASSERT_EQ(GTK_IMAGE_PIXBUF, gtk_image_get_storage_type(parts_.image));
  EXPECT_EQ(133, gdk_pixbuf_get_width(gtk_image_get_pixbuf(parts_.image)));
  EXPECT_EQ(400, gdk_pixbuf_get_height(gtk_image_get_pixbuf(parts_.image)));

  view_->showSplash(scratch / "broken.png");
  EXPECT_EQ(GTK_IMAGE_EMPTY, gtk_image_get_storage_type(parts_.image));
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(parts_.image)));
}

// A failure's reason is its line of details: shown under the red text, not
// in red, the window as wide as before.
TEST_F(WindowViewTest, FailureReasonShowsUnderTheRedText) {
  ASSERT_TRUE(showWindow());
  int width = gdk_window_get_width(gtk_widget_get_window(window_));
  view_->setStatusText(
      "Error during the download process.\nSee your system log for more information.",
      DownloadView::TextColor::Red);
  view_->setDetailText("The server answered HTTP status 404 for https://h/agent");
  view_->displayNow();
  process(100);
  ASSERT_TRUE(gtk_widget_get_mapped(GTK_WIDGET(parts_.detail)));
  EXPECT_STREQ("The server answered HTTP status 404 for https://h/agent",
               gtk_label_get_text(parts_.detail));
  EXPECT_LT(allocationOf(parts_.label).y + allocationOf(parts_.label).height / 2,
            allocationOf(parts_.detail).y);
  EXPECT_EQ(width, gdk_window_get_width(gtk_widget_get_window(window_)));
  Screenshot shot(window_);
  ASSERT_TRUE(shot.ok());
  shot.save("window-failed-with-reason.png");
  EXPECT_GT(shot.count(allocationOf(parts_.label), isRed), 100);
  EXPECT_EQ(0, shot.count(allocationOf(parts_.detail), isRed));
  EXPECT_EQ(0, delegate_.closes);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // The accessibility bus is not part of what is tested and may stall.
  setenv("NO_AT_BRIDGE", "1", 0);
  if (!gtk_init_check(&argc, &argv)) {
    fprintf(stderr, "SKIPPED: no X display for the window tests (run them under xvfb-run -a)\n");
    return 77;
  }
  return RUN_ALL_TESTS();
}
