#pragma once
// The restore window on the screen: the Win32 side of form::RestoreForm.
//
// Made when the user asks for it and destroyed when it closes; it builds a
// widget for every component of the model, in creation order, each with the
// control ID that form::RestoreControlId gives its name. Its texts, font and
// layout follow the settings window: widths measured from the font as drawn.
// The backups are listed once the window is on the screen (listing reads
// every file's header and may take seconds).
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "form/RestoreForm.h"
#include "ui/Widgets.h"
#include "ui/Window.h"

namespace bakwyn::ui {

class RestoreWindow : public Window {
 public:
  // Creates the window hidden, with its widgets; `form` must outlive the
  // window. `owner` (may be null) keeps it in front of that window.
  explicit RestoreWindow(form::RestoreForm& form, HWND owner = nullptr);
  ~RestoreWindow() override;

  form::RestoreForm& form() { return form_; }
  // Shown and in front; the first show lists the backups.
  void show();
  // From the program, on the window's thread (see RestoreForm). Once the
  // window is gone the model still takes them, and nothing is shown.
  void progress(const std::string& line) { form_.progress(line); }
  void finished(const RestoreResult& result) { form_.finished(result); }

  // The window of a named control, or null.
  HWND controlWindow(const std::string& name) const;

  // Runs inside WM_DESTROY: the restore may go on, and the owner frees this
  // object later (a posted message), never from here.
  std::function<void()> onDestroyed;

 protected:
  LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void buildWidgets();
  void detachViews();
  template <typename View, typename... Args>
  View& attach(form::Control& model, Args&&... args);

  form::RestoreForm& form_;
  bool listed_ = false;
  UniqueFont font_;
  UniqueBrush white_;
  std::vector<std::pair<form::Control*, std::unique_ptr<ControlView>>> views_;  // creation order
  std::unordered_map<int, Widget*> widgets_;  // by control ID
  std::vector<HWND> whitePanes_;
};

}  // namespace bakwyn::ui
