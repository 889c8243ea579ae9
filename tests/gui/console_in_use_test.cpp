// The console window in use, with a real web view and a console page served over 127.0.0.1.
// Input comes through the X server, GDK and GTK as a user's does (xdotool): X11 only.
#include <gtest/gtest.h>

#include "support/GuiSupport.h"
#include "window/GtkAppView.h"
#include "window/GtkConsoleWebView.h"

// Declared here rather than through gdkx.h, whose X11 macros clash with GoogleTest's names.
extern "C" unsigned long gdk_x11_surface_get_xid(GdkSurface* surface);

namespace zvui {
namespace {

using namespace std::chrono_literals;
using test::iterateUntil;

bool onX11() {
  test::application();
  return std::string_view(G_OBJECT_TYPE_NAME(gdk_display_get_default())) == "GdkX11Display";
}

// Runs xdotool with `arguments`, in which %w stands for the X id of `window`.
void xdotool(const std::string& arguments, Gtk::Window* window = nullptr) {
  std::string command = "xdotool " + arguments;
  const auto id =
      window ? gdk_x11_surface_get_xid(gtk_native_get_surface(GTK_NATIVE(window->gobj()))) : 0;
  for (std::size_t at; (at = command.find("%w")) != std::string::npos;)
    command.replace(at, 2, std::to_string(id));
  (void)!std::system(command.c_str());
}

std::string title(WebKitWebView* view) {
  return webkit_web_view_get_title(view) ? webkit_web_view_get_title(view) : "";
}
// The page's address, without the fragment the tests use to talk to the page.
std::string address(WebKitWebView* view) {
  const std::string uri = webkit_web_view_get_uri(view) ? webkit_web_view_get_uri(view) : "";
  return uri.substr(0, uri.find('#'));
}
// Has the page's own script do `what` (see the test backend), with no user gesture behind it
// (scripts that WebKit runs for us would count as the user's).
void askPage(WebKitWebView* view, const std::string& console, const char* what) {
  webkit_web_view_load_uri(view, (console + "#" + what).c_str());
}

// The console page in a window of its own, with recorders in place of the desktop.
struct ConsolePage {
  ConsolePage()
      : console(DesktopHandoff{
            .openAddress = [this](Gtk::Window*, const std::string& uri) { handed.push_back(uri); },
            .chooseSavePath =
                [this](Gtk::Window*, const std::string& name, const std::filesystem::path& folder,
                       DesktopHandoff::Answer answer) {
                  asked.push_back(name);
                  askedIn = folder;
                  answer(saveAs);
                }}) {
    console.setOnLoadFinished([this] { ++finished; });
    console.widget().set_visible(true);
    window.set_default_size(800, 700);
    window.set_child(console.widget());
    window.present();
    console.load(server.url, 60s);
  }
  ~ConsolePage() {
    window.unset_child();
    window.destroy();
  }
  WebKitWebView* view() const { return console.webView(); }
  // A left click on a row of the page: rows are 60 pixels apart from y = 100 (see the test
  // backend).
  void clickRow(int row) {
    graphene_point_t at = GRAPHENE_POINT_INIT(200.f, float(125 + 60 * row)), in{};
    ASSERT_TRUE(
        gtk_widget_compute_point(console.widget().gobj(), GTK_WIDGET(window.gobj()), &at, &in));
    double dx = 0, dy = 0;
    gtk_native_get_surface_transform(GTK_NATIVE(window.gobj()), &dx, &dy);
    xdotool("mousemove --window %w " + std::to_string(int(in.x + dx)) + " " +
                std::to_string(int(in.y + dy)) + " click 1",
            &window);
  }

  Glib::RefPtr<Gtk::Application> application = test::application();  // GTK first
  test::TestServer server;
  Gtk::Window window;
  ConsoleWebView console;
  int finished = 0;
  std::vector<std::string> handed, asked;
  std::filesystem::path askedIn;
  std::optional<std::filesystem::path> saveAs;
};

enum Row { kOther, kBlank, kOpen, kMail, kFile, kCut, kLock, kSame };

// Nothing leaves the console or is written without the user's say. The page's own navigation to
// another origin, window or download goes nowhere. A user's link off the origin, or to a new
// window, is handed to the browser once and the console stays; mailto: goes nowhere; a link
// on the origin is followed. A user's download asks where to save it (the name made safe, the
// download folder to start in); cancelling writes nothing, a cut transfer leaves nothing.
// Permissions are refused: pointer lock (WebKit would grant it) and notifications.
TEST(ConsoleInUse, OnlyTheUserSendsAnythingOutAndPermissionsAreRefused) {
  if (!onX11()) GTEST_SKIP() << "input is sent through X11";
  const test::TempDir home;
  const auto downloads = home.path() / "Downloads", chosen = home.path() / "chosen";
  test::fs::create_directories(downloads);
  test::fs::create_directories(chosen);
  home.write("config/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"" + downloads.string() + "\"\n");
  ::setenv("XDG_CONFIG_HOME", (home.path() / "config").c_str(), 1);
  ASSERT_EQ(downloadFolder(), downloads);  // read once per process, and this test has its own

  ConsolePage page;
  ASSERT_TRUE(iterateUntil([&] { return page.finished > 0 && page.window.get_mapped(); }, 60s));
  const std::string console = address(page.view());
  const std::string elsewhere = "http://localhost:" + console.substr(17) + "elsewhere";
  int loads = 0, ended = 0;  // provisional loads that started and ended; downloads that ended
  g_signal_connect(page.view(), "notify::is-loading",
                   G_CALLBACK(+[](WebKitWebView* view, GParamSpec*, gpointer n) {
                     if (!webkit_web_view_is_loading(view)) ++*static_cast<int*>(n);
                   }),
                   &loads);
  const auto started = +[](WebKitNetworkSession*, WebKitDownload* download, gpointer n) {
    g_signal_connect(
        download, "finished",
        G_CALLBACK(+[](WebKitDownload*, gpointer count) { ++*static_cast<int*>(count); }), n);
  };
  g_signal_connect(webkit_web_view_get_network_session(page.view()), "download-started",
                   G_CALLBACK(started), &ended);
  askPage(page.view(), console, "open");
  askPage(page.view(), console, "leave");
  // The view may name no title for a moment while it settles back on the console.
  ASSERT_TRUE(iterateUntil([&] {
    return loads > 0 && !webkit_web_view_is_loading(page.view()) && title(page.view()) != "";
  }));
  EXPECT_EQ(address(page.view()), console);
  EXPECT_EQ(title(page.view()), "console");
  EXPECT_EQ(page.finished, 1);
  EXPECT_TRUE(page.handed.empty());

  const std::pair<Row, std::vector<std::string>> links[] = {
      // a row, what is handed on so far
      {kOther, {elsewhere}},
      {kMail, {elsewhere}},
      {kBlank, {elsewhere, console + "elsewhere"}},
      {kOpen, {elsewhere, console + "elsewhere", elsewhere}},
  };
  for (const auto& [row, handed] : links) {
    SCOPED_TRACE(row);
    page.clickRow(row);
    // A row that hands nothing on is seen in the next row's list.
    EXPECT_TRUE(iterateUntil([&] { return page.handed.size() >= handed.size(); }, 10s));
    EXPECT_EQ(page.handed, handed);
    EXPECT_EQ(address(page.view()), console);
    EXPECT_EQ(title(page.view()), "console");
  }

  const struct {  // click: none when the page starts it by itself; asked: questions so far
    const char* name;
    std::optional<Row> click;
    std::optional<std::string> saveAs;
    std::size_t asked;
    std::ptrdiff_t chosenFiles;
  } saves[] = {
      {"by the page", std::nullopt, "stolen.txt", 0, 0},
      {"cancelled", kFile, std::nullopt, 1, 0},
      {"saved", kFile, "saved.txt", 2, 1},
      {"cut short", kCut, "cut.bin", 3, 1},
  };
  for (int i = 0; const auto& row : saves) {
    SCOPED_TRACE(row.name);
    page.saveAs = row.saveAs ? std::optional(chosen / *row.saveAs) : std::nullopt;
    row.click ? page.clickRow(*row.click) : askPage(page.view(), console, "download");
    ASSERT_TRUE(iterateUntil([&] { return ended > i; }));
    ++i;
    EXPECT_EQ(page.asked.size(), row.asked);
    EXPECT_EQ(std::distance(test::fs::directory_iterator(chosen), {}), row.chosenFiles);
    EXPECT_TRUE(test::fs::is_empty(downloads));
    EXPECT_EQ(address(page.view()), console);
  }
  EXPECT_EQ(page.asked.front(), "report.txt");  // the server suggested ".report.txt"
  EXPECT_EQ(page.askedIn, downloads);
  EXPECT_EQ(test::readFile(chosen / "saved.txt"), "the report\n");

  page.clickRow(kLock);
  EXPECT_TRUE(iterateUntil([&] {
    const std::string shown = title(page.view());
    return shown.starts_with("pointer:") && shown.find("asked") == std::string::npos;
  }));
  EXPECT_EQ(title(page.view()), "pointer:refused notify:denied");
  page.clickRow(kSame);
  EXPECT_TRUE(iterateUntil([&] { return page.finished == 2; }));
  EXPECT_EQ(address(page.view()), console + "again");
  EXPECT_EQ(page.handed.size(), 3u);
}

// From the reveal the console has the keyboard, without a click.
TEST(ConsoleInUse, TypingReachesTheConsoleFromTheReveal) {
  if (!onX11()) GTEST_SKIP() << "input is sent through X11";
  test::TestServer server;
  GtkAppView view(test::application(), "/nonexistent");
  view.buildWindow([&view] { view.showWebView(); });
  view.showWindow();
  view.loadConsole(server.url, 60s);
  Gtk::Window& window = *view.window();
  ASSERT_TRUE(iterateUntil([&] { return view.console()->widget().get_visible(); }, 60s));
  xdotool("windowfocus --sync %w", &window);
  ASSERT_TRUE(iterateUntil([&] { return window.is_active(); }));
  xdotool("type zv");
  EXPECT_TRUE(iterateUntil([&] { return title(view.console()->webView()) == "typed:zv"; }, 10s));
  window.destroy();
}

}  // namespace
}  // namespace zvui
