#include "wizard/pages.h"

namespace {
const int variant_checkbox_ids[4] = {IDC_VARIANT_0, IDC_VARIANT_1, IDC_VARIANT_2, IDC_VARIANT_3};

// Both ways off the page keep the ticks.
void store_flags(ui_window dialog) {
  for (int i = 0; i < 4; ++i) variant_flags[i] = get_item_check(dialog, variant_checkbox_ids[i]);
}
}  // namespace

void show_variant_page() {
  set_page_handler(variant_page_command);
  for (int i = 0; i < 4; ++i) set_item_check(dialog_handle, variant_checkbox_ids[i], variant_flags[i]);
  show_status(SetCaption, 0, "Choose variant");
  enable_item(dialog_handle, IDC_BACK, 1);
  show_page(PageVariant, UI_SW_SHOWNORMAL);
}

int variant_page_command(ui_window dialog, int id, intptr_t, int) {
  switch (id) {
    case IDC_CANCEL: ui_post_quit(); break;
    case IDC_BACK:
      store_flags(dialog);
      show_page(PageVariant, UI_SW_HIDE);
      show_options_page();
      break;
    case IDC_NEXT:
      // No validation: an empty choice is left to the install plan.
      store_flags(dialog);
      show_page(PageVariant, UI_SW_HIDE);
      show_download_dir_page();
      break;
    default: break;
  }
  return 0;
}
