// Test-side control of the headless window-system backend: a model of the
// wizard's controls that tests drive like a user and inspect afterwards.
// Every call is safe from any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/ui.h"

struct HeadlessBox {
  std::string text;
  std::string caption;
  UiBoxKind kind;
  int answer;
};

struct HeadlessPick {
  std::string title;
  std::string initial;  // empty when the picker opened without a preselection
};

// Back to a fresh process: no dialog, no events, no scripts, nothing recorded.
void headless_reset();

// Control state (ids as in the dialog template; 0 means the dialog window).
bool headless_exists(int id);
bool headless_visible(int id);
bool headless_enabled(int id);
bool headless_checked(int id);
std::string headless_text(int id);  // id 0: the window title
bool headless_window_shown();
unsigned headless_progress_range(int id);
int headless_progress_pos(int id);
// Every control id in template order.
std::vector<int> headless_control_ids();

// The user's actions. A click on a hidden or disabled control does nothing and
// returns false. Option buttons and checkboxes change their state as automatic
// buttons do, then the command reaches the dialog procedure synchronously.
bool headless_click(int id);
void headless_close_box();        // WM_CLOSE, synchronously
void headless_type(int id, const std::string& text);
// Queues a click / close for the message loop or the download's wait.
void headless_post_click(int id);
void headless_post_close();
// A quit request as another thread or the system would post it.
void headless_post_quit();
int headless_quit_requests();     // quit requests posted since reset
bool headless_quit_pending();

// Scripted answers, used in order; an unscripted box is answered OK (error and
// info boxes) or No (questions), an unscripted picker is cancelled.
void headless_answer_box(int answer);
void headless_answer_pick(bool ok, const std::string& path = std::string());
const std::vector<HeadlessBox>& headless_boxes();
const std::vector<HeadlessPick>& headless_picks();
// Called, if set, when a message box is shown (on the showing thread).
void headless_on_box(void (*hook)(const HeadlessBox& box));
