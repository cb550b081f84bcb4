// The display: the one dialog whose controls form five pages, the page handler
// that receives the buttons' commands, and the operations that write the window
// title, the status line, the progress bar, the rate line and the summary, show
// the program's boxes and serve the window while a thread works. The pages and
// the run use it; it uses nothing of theirs.
#pragma once

#include <cstdint>

#include "platform/ui.h"
#include "resources/dialog_ids.h"

enum StatusCode {
  SetCaption = 0,
  SetStatus = 1,
  SetProgressPos = 2,
  SetProgressRange = 3,
  SetRateText = 4,
};

enum Page { PageOptions = 0, PageVariant = 1, PageDirectory = 2, PageProgress = 3, PageSummary = 4 };

// What the user chose on the Options page: the id of its checked option button.
enum InstallModeId {
  DownloadAndInstall = IDC_MODE_DOWNLOAD_AND_INSTALL,
  DownloadOnly = IDC_MODE_DOWNLOAD_ONLY,
  InstallFromDirectory = IDC_MODE_INSTALL_FROM_DIRECTORY,
};

typedef int (*page_handler)(ui_window dialog, int id, intptr_t control, int notification);

extern ui_window dialog_handle;
extern page_handler current_page_handler;

void show_page(int page, int show_cmd);
intptr_t wizard_dialog_proc(ui_window dialog, unsigned message, uintptr_t wparam, intptr_t lparam);
void show_status(int code, int value, const char* text);
void show_progress_page();
void set_page_handler(page_handler handler);

// Dialog item operations. get_item_text frees old and returns a new heap string
// (malloc) of the control's text cut to 1023 characters, or null when empty.
char* get_item_text(ui_window dialog, int id, char* old);
void set_item_text(ui_window dialog, int id, const char* text);
int get_item_check(ui_window dialog, int id);
void set_item_check(ui_window dialog, int id, int flag);
int get_radio_group(ui_window dialog, const int* list);
void set_radio_group(ui_window dialog, const int* list, int key);
void enable_item(ui_window dialog, int id, int enable);

// The summary page's text: set replaces it, append adds to its end.
void set_summary_text(const char* text);
void append_summary_text(const char* text);

// The message boxes of the program, over the dialog.
void error_box(const char* text);
void info_box(const char* text, const char* caption);

// The quit request that ends the message loop.
void request_quit();
// While a thread works: blocks until it has ended (0; also on a failed wait) or
// window events are waiting (1). take_event then takes one: 0 when none is
// left, 1 after serving it, 2 for a quit request.
int wait_thread_or_events(plat_thread t);
int take_event();
