// Headless window-system backend: a model of dialog template 100 that tests
// drive like a user. One lock guards the model, so the download worker may
// update the progress bar and the rate line from its own thread.
#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

#include "platform/headless/headless.h"
#include "platform/ui.h"
#include "resources/dialog_ids.h"

namespace {

struct Control {
  std::string text;
  bool visible = true;
  bool enabled = true;
  bool checked = false;
  unsigned range = 100;
  int pos = 0;
  int sel_start = 0;
  int sel_end = 0;
  bool radio = false;
  bool checkbox = false;
};

enum EventKind { EvClick, EvClose, EvQuit };
struct Event {
  EventKind kind;
  int id;
};

struct Model {
  std::recursive_mutex lock;
  bool created = false;
  bool shown = false;
  std::string title;
  ui_dialog_proc proc = nullptr;
  std::vector<int> order;
  std::map<int, Control> controls;
  std::deque<Event> events;
  int quits = 0;
  std::deque<int> box_answers;
  std::deque<std::pair<bool, std::string>> pick_answers;
  std::vector<HeadlessBox> boxes;
  std::vector<HeadlessPick> picks;
  void (*box_hook)(const HeadlessBox&) = nullptr;
};

Model& model() {
  static Model* m = new Model();  // never destroyed: the worker may outlive main's statics
  return *m;
}

// The controls as the dialog template lists them (generated from quorvin.rc).
void build_template(Model& m) {
  m.order.clear();
  m.controls.clear();
#define DIALOG_CAPTION(caption) m.title = caption;
#define DIALOG_CONTROL(control_id, initial_text, enabled_at_start, kind) \
  {                                                                    \
    m.order.push_back(control_id);                                     \
    Control& c = m.controls[control_id];                               \
    c.text = initial_text;                                             \
    c.enabled = enabled_at_start;                                      \
    c.radio = (kind) == 'r';                                           \
    c.checkbox = (kind) == 'c';                                        \
  }
#include "dialog_table.inc"
#undef DIALOG_CONTROL
#undef DIALOG_CAPTION
}

Control* find(Model& m, int id) {
  auto it = m.controls.find(id);
  return it == m.controls.end() ? nullptr : &it->second;
}

void dispatch(Model& m, const Event& e) {
  ui_dialog_proc proc;
  {
    std::lock_guard<std::recursive_mutex> g(m.lock);
    proc = m.proc;
  }
  if (!proc) return;
  if (e.kind == EvClick) proc(&m, UI_WM_COMMAND, static_cast<uintptr_t>(e.id) & 0xFFFF, 0);
  if (e.kind == EvClose) proc(&m, UI_WM_CLOSE, 0, 0);
}

}  // namespace

// ---- the seam ---------------------------------------------------------------

void ui_init_controls() {}

ui_window ui_create_dialog(ui_dialog_proc proc) {
  Model& m = model();
  {
    std::lock_guard<std::recursive_mutex> g(m.lock);
    build_template(m);
    m.created = true;
    m.shown = false;
    m.proc = proc;
  }
  proc(&m, UI_WM_INITDIALOG, 0, 0);
  return &m;
}

void ui_show_window(ui_window) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.shown = true;
}

void ui_show_item(ui_window, int id, int show_cmd) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  if (Control* c = find(m, id)) c->visible = show_cmd != UI_SW_HIDE;
}

void ui_enable_item(ui_window, int id, int enable) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  if (Control* c = find(m, id)) c->enabled = enable != 0;
}

void ui_set_window_text(ui_window, const char* text) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.title = text ? text : "";
}

void ui_set_item_text(ui_window, int id, const char* text) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  if (Control* c = find(m, id)) {
    c->text = text ? text : "";
    c->sel_start = c->sel_end = 0;
  }
}

int ui_get_item_text(ui_window, int id, std::string* out, int max_chars) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  out->clear();
  Control* c = find(m, id);
  if (!c || max_chars <= 0) return 0;
  *out = c->text.substr(0, static_cast<size_t>(max_chars));
  return static_cast<int>(out->size());
}

int ui_get_item_checked(ui_window, int id) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  Control* c = find(m, id);
  return c && c->checked ? 1 : 0;
}

void ui_set_item_checked(ui_window, int id, int checked) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  if (Control* c = find(m, id)) c->checked = checked != 0;
}

void ui_progress_set_range(ui_window, int id, unsigned max16) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  if (Control* c = find(m, id)) c->range = max16 & 0xFFFF;
}

void ui_progress_set_pos(ui_window, int id, int pos) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  if (Control* c = find(m, id)) c->pos = pos;
}

void ui_edit_set_sel(ui_window, int id, int start, int end) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  Control* c = find(m, id);
  if (!c) return;
  int len = static_cast<int>(c->text.size());
  c->sel_start = std::max(0, std::min(start, len));
  c->sel_end = std::max(0, std::min(end, len));
  if (c->sel_start > c->sel_end) std::swap(c->sel_start, c->sel_end);
}

void ui_edit_replace_sel(ui_window, int id, const char* text) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  Control* c = find(m, id);
  if (!c) return;
  std::string t = text ? text : "";
  c->text.replace(static_cast<size_t>(c->sel_start), static_cast<size_t>(c->sel_end - c->sel_start), t);
  c->sel_start = c->sel_end = c->sel_start + static_cast<int>(t.size());
}

int ui_message_box(ui_window, const char* text, const char* caption, UiBoxKind kind) {
  Model& m = model();
  HeadlessBox box;
  void (*hook)(const HeadlessBox&);
  {
    std::lock_guard<std::recursive_mutex> g(m.lock);
    box.text = text ? text : "";
    box.caption = caption ? caption : "";
    box.kind = kind;
    if (!m.box_answers.empty()) {
      box.answer = m.box_answers.front();
      m.box_answers.pop_front();
    } else {
      box.answer = kind == UI_BOX_QUESTION ? UI_ANSWER_NO : UI_ANSWER_OK;
    }
    m.boxes.push_back(box);
    hook = m.box_hook;
  }
  if (hook) hook(box);
  return box.answer;
}

int ui_browse_folder(ui_window, const char* title, const char* initial, std::string* out) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.picks.push_back(HeadlessPick{title ? title : "", initial ? initial : ""});
  if (m.pick_answers.empty()) return 0;
  auto answer = m.pick_answers.front();
  m.pick_answers.pop_front();
  if (!answer.first) return 0;
  *out = answer.second;
  return 1;
}

void ui_post_quit() {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.events.push_back(Event{EvQuit, 0});
  ++m.quits;
}

void ui_run_message_loop() {
  // Runs the queued events; an empty queue ends the loop too, so that a test
  // can never hang in it.
  for (;;) {
    int r = ui_take_message();
    if (r != 1) return;
  }
}

int ui_wait_thread_or_messages(plat_thread t) {
  Model& m = model();
  uint32_t start = plat_tick_ms();
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> g(m.lock);
      if (!m.events.empty()) return plat_thread_done(t) ? 0 : 1;
    }
    // Wakes at once when the thread ends; a posted event waits a few ms at most.
    if (plat_thread_wait(t, 5)) return 0;
    if (plat_tick_ms() - start >= 1000) return 1;
  }
}

int ui_take_message() {
  Model& m = model();
  Event e;
  {
    std::lock_guard<std::recursive_mutex> g(m.lock);
    if (m.events.empty()) return 0;
    e = m.events.front();
    m.events.pop_front();
  }
  if (e.kind == EvQuit) return 2;
  dispatch(m, e);
  return 1;
}

// ---- the test side ----------------------------------------------------------

void headless_reset() {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.created = m.shown = false;
  m.proc = nullptr;
  build_template(m);
  m.events.clear();
  m.quits = 0;
  m.box_answers.clear();
  m.pick_answers.clear();
  m.boxes.clear();
  m.picks.clear();
  m.box_hook = nullptr;
}

#define WITH_CONTROL(id, expr, fallback)                  \
  Model& m = model();                                     \
  std::lock_guard<std::recursive_mutex> g(m.lock);        \
  Control* c = find(m, id);                               \
  return c ? (expr) : (fallback)

bool headless_exists(int id) { WITH_CONTROL(id, true, false); }
bool headless_visible(int id) { WITH_CONTROL(id, c->visible, false); }
bool headless_enabled(int id) { WITH_CONTROL(id, c->enabled, false); }
bool headless_checked(int id) { WITH_CONTROL(id, c->checked, false); }
unsigned headless_progress_range(int id) { WITH_CONTROL(id, c->range, 0u); }
int headless_progress_pos(int id) { WITH_CONTROL(id, c->pos, 0); }

std::string headless_text(int id) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  if (id == 0) return m.title;
  Control* c = find(m, id);
  return c ? c->text : std::string();
}

bool headless_window_shown() {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  return m.shown;
}

std::vector<int> headless_control_ids() {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  return m.order;
}

bool headless_click(int id) {
  Model& m = model();
  {
    std::lock_guard<std::recursive_mutex> g(m.lock);
    Control* c = find(m, id);
    if (!c || !c->visible || !c->enabled) return false;
    if (c->radio) {
      for (auto& kv : m.controls)
        if (kv.second.radio) kv.second.checked = false;
      c->checked = true;
    }
    if (c->checkbox) c->checked = !c->checked;
  }
  dispatch(m, Event{EvClick, id});
  return true;
}

void headless_close_box() { dispatch(model(), Event{EvClose, 0}); }

void headless_type(int id, const std::string& text) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  if (Control* c = find(m, id)) c->text = text;
}

void headless_post_click(int id) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.events.push_back(Event{EvClick, id});
}

void headless_post_close() {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.events.push_back(Event{EvClose, 0});
}

void headless_post_quit() { ui_post_quit(); }

int headless_quit_requests() {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  return m.quits;
}

bool headless_quit_pending() {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  for (const Event& e : m.events)
    if (e.kind == EvQuit) return true;
  return false;
}

void headless_answer_box(int answer) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.box_answers.push_back(answer);
}

void headless_answer_pick(bool ok, const std::string& path) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.pick_answers.emplace_back(ok, path);
}

const std::vector<HeadlessBox>& headless_boxes() { return model().boxes; }
const std::vector<HeadlessPick>& headless_picks() { return model().picks; }

void headless_on_box(void (*hook)(const HeadlessBox& box)) {
  Model& m = model();
  std::lock_guard<std::recursive_mutex> g(m.lock);
  m.box_hook = hook;
}
