// Window-system half of the platform seam: the wizard dialog and its controls,
// message boxes, the quit request, the message loop and the download's wait.
// Win32 implements it with the real dialog; the headless backend with a model of
// the controls that tests drive and inspect.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

typedef void* ui_window;

// Window messages the dialog procedure receives (the Win32 values).
enum : unsigned {
  UI_WM_CLOSE = 0x0010,
  UI_WM_INITDIALOG = 0x0110,
  UI_WM_COMMAND = 0x0111,
};

// Show commands for ui_show_item.
enum { UI_SW_HIDE = 0, UI_SW_SHOWNORMAL = 1 };

// Message box kinds and answers.
enum UiBoxKind { UI_BOX_ERROR = 0, UI_BOX_QUESTION = 1, UI_BOX_INFO = 2 };
enum UiBoxAnswer { UI_ANSWER_OK = 1, UI_ANSWER_YES = 6, UI_ANSWER_NO = 7 };

// The dialog procedure that the created dialog reports to; it lives in the wizard
// frame. Parameters as Win32's WPARAM/LPARAM.
typedef intptr_t (*ui_dialog_proc)(ui_window dialog, unsigned message, uintptr_t wparam,
                                   intptr_t lparam);

// Makes the progress-bar class available (before the dialog is created).
void ui_init_controls();
// Creates the wizard dialog (template 100) hidden, with proc as dialog procedure.
ui_window ui_create_dialog(ui_dialog_proc proc);
// Shows the dialog window normally.
void ui_show_window(ui_window w);

void ui_show_item(ui_window w, int id, int show_cmd);
void ui_enable_item(ui_window w, int id, int enable);
void ui_set_window_text(ui_window w, const char* text);
void ui_set_item_text(ui_window w, int id, const char* text);
// Reads a control's text into *out (UTF-8), cut to max_chars characters (UTF-16
// units on Windows). Returns the number of characters read, 0 for an empty field
// or a failed read.
int ui_get_item_text(ui_window w, int id, std::string* out, int max_chars);
int ui_get_item_checked(ui_window w, int id);
void ui_set_item_checked(ui_window w, int id, int checked);
// PBM_SETRANGE(0, max) with max already cut to 16 bits; PBM_SETPOS.
void ui_progress_set_range(ui_window w, int id, unsigned max16);
void ui_progress_set_pos(ui_window w, int id, int pos);
// EM_SETSEL and EM_REPLACESEL (not undoable) on a multi-line edit field.
void ui_edit_set_sel(ui_window w, int id, int start, int end);
void ui_edit_replace_sel(ui_window w, int id, const char* text);

// A modal message box over the dialog; returns the button pressed.
int ui_message_box(ui_window owner, const char* text, const char* caption, UiBoxKind kind);

// The shell's folder picker, modal to owner, with the title, opening on
// initial (when not null/empty). Only file-system folders can be confirmed.
// Returns 1 with the chosen full path in *out, 0 when cancelled.
int ui_browse_folder(ui_window owner, const char* title, const char* initial, std::string* out);

// Posts a quit request (PostQuitMessage(0)).
void ui_post_quit();
// Runs the message loop until a quit request (or an error) ends it.
void ui_run_message_loop();

// The download's wait. ui_wait_thread_or_messages blocks until the thread has
// ended (returns 0; also on a failed wait) or window messages/events are
// waiting, or a second has passed, so that the caller can do what is due
// (returns 1). ui_take_message then takes one waiting message off the
// queue: returns 0 when none is left, 1 after dispatching an ordinary one, 2 when
// it was a quit request (consumed, not dispatched).
int ui_wait_thread_or_messages(plat_thread t);
int ui_take_message();
