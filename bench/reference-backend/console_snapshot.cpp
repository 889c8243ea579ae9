// Loads a console URL in a 1440x920 web view and saves the rendered page as PNG:
//   console_snapshot URL OUT.png [settle-ms [width height [script]]]
// With a script (the body of an async function, so it may await), also runs it in the page
// once settled and prints what it returns, as a string, before taking the picture.
// For looking at the page by eye (run under xvfb-run); not a test.

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Job {
  std::string url;
  std::string out;
  std::string script;
  guint settleMs = 2500;
  GtkWidget* window = nullptr;
  WebKitWebView* view = nullptr;
  int status = 1;
  bool done = false;
};

void finish(Job* job, int status) {
  job->status = status;
  job->done = true;
  g_main_context_wakeup(nullptr);
}

void onSnapshot(GObject* source, GAsyncResult* result, gpointer data) {
  auto* job = static_cast<Job*>(data);
  GError* error = nullptr;
  GdkTexture* texture = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (texture == nullptr) {
    std::fprintf(stderr, "snapshot failed: %s\n", error->message);
    g_error_free(error);
    finish(job, 1);
    return;
  }
  const bool saved = gdk_texture_save_to_png(texture, job->out.c_str());
  g_object_unref(texture);
  finish(job, saved ? 0 : 1);
}

gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer) {
  std::fprintf(stderr, "load failed: %s: %s\n", uri, error->message);
  return FALSE;
}

void takeSnapshot(Job* job) {
  webkit_web_view_get_snapshot(job->view, WEBKIT_SNAPSHOT_REGION_VISIBLE,
                               WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr, onSnapshot, job);
}

void onEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
  auto* job = static_cast<Job*>(data);
  GError* error = nullptr;
  JSCValue* value =
      webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (value == nullptr) {
    std::fprintf(stderr, "evaluation failed: %s\n", error->message);
    g_error_free(error);
  } else {
    char* text = jsc_value_to_string(value);
    std::printf("%s\n", text);
    std::fflush(stdout);
    g_free(text);
    g_object_unref(value);
  }
  takeSnapshot(job);
}

void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  auto* job = static_cast<Job*>(data);
  if (event != WEBKIT_LOAD_FINISHED) return;
  // Give the terminal its prompt and telemetry a few samples before taking the picture.
  g_timeout_add(job->settleMs, [](gpointer raw) -> gboolean {
    auto* j = static_cast<Job*>(raw);
    if (j->script.empty()) {
      takeSnapshot(j);
    } else {
      webkit_web_view_call_async_javascript_function(j->view, j->script.c_str(), -1, nullptr,
                                                     nullptr, nullptr, nullptr, onEvaluated, j);
    }
    return G_SOURCE_REMOVE;
  }, job);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s URL OUT.png [settle-ms [width height [script]]]\n",
                 argv[0]);
    return 2;
  }
  setenv("GDK_BACKEND", "x11", 0);
  gtk_init();
  Job job;
  job.url = argv[1];
  job.out = argv[2];
  if (argc > 3) job.settleMs = static_cast<guint>(std::strtoul(argv[3], nullptr, 10));
  int width = 1440;
  int height = 920;
  if (argc > 5) {
    width = std::atoi(argv[4]);
    height = std::atoi(argv[5]);
  }
  if (argc > 6) job.script = argv[6];

  job.window = gtk_window_new();
  gtk_window_set_default_size(GTK_WINDOW(job.window), width, height);
  job.view = WEBKIT_WEB_VIEW(webkit_web_view_new());
  GdkRGBA black = {0, 0, 0, 1};
  webkit_web_view_set_background_color(job.view, &black);
  g_signal_connect(job.view, "load-changed", G_CALLBACK(onLoadChanged), &job);
  g_signal_connect(job.view, "load-failed", G_CALLBACK(onLoadFailed), &job);
  gtk_window_set_child(GTK_WINDOW(job.window), GTK_WIDGET(job.view));
  gtk_window_present(GTK_WINDOW(job.window));
  webkit_web_view_load_uri(job.view, job.url.c_str());

  g_timeout_add_seconds(600, [](gpointer raw) -> gboolean {
    std::fprintf(stderr, "page did not finish in time\n");
    finish(static_cast<Job*>(raw), 1);
    return G_SOURCE_REMOVE;
  }, &job);
  while (!job.done) g_main_context_iteration(nullptr, TRUE);
  gtk_window_destroy(GTK_WINDOW(job.window));
  return job.status;
}
