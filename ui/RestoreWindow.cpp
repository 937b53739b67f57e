#include "ui/RestoreWindow.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <type_traits>

#include "base/Text.h"

namespace bakwyn::ui {
namespace {

// Posted after the first show, so the window is drawn before the listing holds it.
constexpr UINT kListMessage = WM_APP + 1;
// Posted by the close button once the model agreed: the window is destroyed
// after the button's own handler has returned.
constexpr UINT kCloseMessage = WM_APP + 2;
constexpr COLORREF kWhite = RGB(255, 255, 255);

constexpr int kMinClientWidth = 640;
constexpr int kMargin = 8, kGap = 6, kHeight = 22, kLineHeight = 14;
constexpr int kListHeight = 170, kStatementsHeight = 72, kProgressHeight = 110;

int IdOf(const form::Component& component) {
  const int id = form::RestoreControlId(component.name());
  // A name missing from the table would make the control unreachable.
  if (id == 0) std::abort();
  return id;
}

// One choice of a group: an automatic radio button. The first of the group
// carries WS_GROUP; the model keeps exactly one checked, and the button's own
// switching agrees with it.
class RadioView : public ControlView, public Widget {
 public:
  RadioView(form::RadioButton& model, int id, const WidgetArgs& args, HFONT font, bool firstOfGroup)
      : model_(model), hwnd_(CreateChildWindow(L"BUTTON", id, [&] {
          WidgetArgs a = args;
          a.text = model.caption();
          a.style |= BS_AUTORADIOBUTTON | WS_TABSTOP | (firstOfGroup ? WS_GROUP : 0);
          return a;
        }(), font)) {}
  HWND hwnd() const { return hwnd_; }
  void showChecked(bool checked) override {
    SendMessageW(hwnd_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  void showEnabled(bool enabled) override { EnableWindow(hwnd_, enabled); }
  void command(int, WORD code) override {
    if (code == BN_CLICKED) model_.setChecked(SendMessageW(hwnd_, BM_GETCHECK, 0, 0) == BST_CHECKED, Source::User);
  }

 private:
  form::RadioButton& model_;
  HWND hwnd_;
};

}  // namespace

RestoreWindow::RestoreWindow(form::RestoreForm& form, HWND owner) : form_(form) {
  // A fixed frame with a close box; closing asks the model first.
  CreateArgs args;
  args.className = form::kFrmRestoreClass;
  args.title = form::kFrmRestoreCaption;
  args.style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  args.parent = owner;
  args.width = kMinClientWidth;
  args.height = 480;
  if (!create(args)) std::abort();
  buildWidgets();
  form_.onClose = [this] { PostMessageW(hwnd(), kCloseMessage, 0, 0); };
}

RestoreWindow::~RestoreWindow() {
  destroy();
  detachViews();
  form_.onClose = nullptr;
}

void RestoreWindow::detachViews() {
  // The model outlives the window (the restore goes on): nothing may reach
  // the views any more.
  for (auto& [model, view] : views_) model->attach(nullptr);
}

template <typename View, typename... Args>
View& RestoreWindow::attach(form::Control& model, Args&&... args) {
  auto view = std::make_unique<View>(std::forward<Args>(args)...);
  View& ref = *view;
  if constexpr (std::is_base_of_v<Widget, View>) widgets_[IdOf(model)] = &ref;
  model.attach(&ref);
  views_.emplace_back(&model, std::move(view));
  return ref;
}

void RestoreWindow::buildWidgets() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  // The settings window's face: the Chinese interface's fixed-pitch Song face at 12 pixels.
  LOGFONTW lf{};
  lf.lfHeight = -12;
  lf.lfCharSet = GB2312_CHARSET;
  lf.lfQuality = DEFAULT_QUALITY;
  wcscpy_s(lf.lfFaceName, L"\u65B0\u5B8B\u4F53");  // 新宋体
  font_.reset(CreateFontIndirectW(&lf));
  white_.reset(CreateSolidBrush(kWhite));
  SendMessageW(hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);

  form::RestoreForm& f = form_;
  HWND self = hwnd();
  HFONT font = font_.get();
  auto width = [&](const std::string& text) { return TextWidth(self, font, text); };
  const int checkMark = GetSystemMetrics(SM_CXMENUCHECK) + 4;
  // A push button holds its caption with room on both sides.
  auto buttonWidth = [&](const form::Button& b) { return std::max(75, width(b.caption()) + 24); };

  // Every column as wide as its caption or its widest text, whichever is
  // wider; the list as wide as its columns, the window as wide as the list.
  const std::string samples[] = {form::RestoreDateText({2026, 12, 31, 23, 59, 59}), "1024.0 MB", "第二目录", "是",
                                 "是"};
  int columnsWidth = 0;
  for (size_t c = 0; c < f.mavTree1.columns().size(); ++c) {
    const int w = std::max(width(f.mavTree1.columns()[c].caption), width(samples[c])) + 16;
    f.mavTree1.setColumnWidth(static_cast<int>(c), w);
    columnsWidth += w;
  }
  const int listWidth = columnsWidth + GetSystemMetrics(SM_CXVSCROLL) + 4 * GetSystemMetrics(SM_CXEDGE);
  const int clientWidth = std::max(kMinClientWidth, listWidth + 2 * kMargin);
  const int inner = clientWidth - 2 * kMargin;

  auto label = [&](form::Label& model, int x, int y) {
    attach<LabelView>(model, model, IdOf(model), At(self, x, y, width(model.caption()) + 2, kLineHeight), font);
  };
  auto button = [&](form::Button& model, int x, int y) {
    attach<ButtonView>(model, model, IdOf(model), At(self, x, y, buttonWidth(model), kHeight), font);
  };
  auto radio = [&](form::RadioButton& model, int x, int y, bool first) {
    attach<RadioView>(model, model, IdOf(model), At(self, x, y, checkMark + width(model.caption()) + 4, kHeight),
                      font, first);
  };

  // The backups, with the refresh button at the right above them.
  int y = kMargin;
  label(f.Label1, kMargin, y + 4);
  button(f.SpeedButton1, clientWidth - kMargin - buttonWidth(f.SpeedButton1), y);
  y += kHeight + 4;
  attach<TreeListView>(f.mavTree1, f.mavTree1, IdOf(f.mavTree1), At(self, kMargin, y, inner, kListHeight), font);
  y += kListHeight + kGap + 2;

  // Where to: the two choices under each other, the name beside the first.
  label(f.Label2, kMargin, y + 4);
  const int radioX = kMargin + width(f.Label2.caption()) + 2 + kGap;
  radio(f.RadioButton1, radioX, y, true);
  const int nameX = radioX + checkMark + width(f.RadioButton1.caption()) + 4 + kGap;
  attach<EditView>(f.mEdt1, f.mEdt1, IdOf(f.mEdt1),
                   At(self, nameX, y, std::min(inner + kMargin - nameX, 300), kHeight), font);
  y += kHeight + 2;
  radio(f.RadioButton2, radioX, y, false);
  y += kHeight + kGap + 2;

  // The actions; closing stands apart at the right.
  int x = kMargin;
  for (form::Button* b : {&f.BitBtn1, &f.BitBtn2, &f.BitBtn3}) {
    button(*b, x, y);
    x += buttonWidth(*b) + kGap;
  }
  button(f.BitBtn4, clientWidth - kMargin - buttonWidth(f.BitBtn4), y);
  y += kHeight + kGap + 2;

  // The statements, then the progress: read-only, white like the settings
  // window's log pane.
  label(f.Label3, kMargin, y);
  y += kLineHeight + 2;
  auto& statements = attach<MemoView>(f.mavMemo1, IdOf(f.mavMemo1), At(self, kMargin, y, inner, kStatementsHeight),
                                      font, true);
  whitePanes_.push_back(statements.hwnd());
  y += kStatementsHeight + kGap;
  label(f.Label4, kMargin, y);
  y += kLineHeight + 2;
  auto& progress = attach<MemoView>(f.mavMemo2, IdOf(f.mavMemo2), At(self, kMargin, y, inner, kProgressHeight), font,
                                    true);
  whitePanes_.push_back(progress.hwnd());
  y += kProgressHeight + kMargin;

  // The frame around the client area the layout needs, centred on the screen.
  const DWORD style = static_cast<DWORD>(GetWindowLongW(self, GWL_STYLE));
  RECT frame{0, 0, clientWidth, y};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  const int w = frame.right - frame.left, h = frame.bottom - frame.top;
  SetWindowPos(self, nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2, (GetSystemMetrics(SM_CYSCREEN) - h) / 2, w, h,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void RestoreWindow::show() {
  ShowWindow(hwnd(), IsIconic(hwnd()) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(hwnd());
  if (!listed_) {
    listed_ = true;
    PostMessageW(hwnd(), kListMessage, 0, 0);
  }
}

HWND RestoreWindow::controlWindow(const std::string& name) const {
  const int id = form::RestoreControlId(name);
  return id == 0 ? nullptr : GetDlgItem(hwnd(), id);
}

LRESULT RestoreWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (auto it = widgets_.find(id); it != widgets_.end()) it->second->command(id, HIWORD(wParam));
      return 0;
    }
    case WM_NOTIFY: {
      const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
      if (auto it = widgets_.find(static_cast<int>(header.idFrom)); it != widgets_.end())
        return it->second->notify(header);
      break;
    }
    case WM_CTLCOLORSTATIC: {
      // Read-only edits ask as static controls do: the text panes stay white.
      HDC dc = reinterpret_cast<HDC>(wParam);
      if (std::find(whitePanes_.begin(), whitePanes_.end(), reinterpret_cast<HWND>(lParam)) != whitePanes_.end()) {
        SetBkColor(dc, kWhite);
        return reinterpret_cast<LRESULT>(white_.get());
      }
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case kListMessage: {
      HCURSOR before = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
      form_.refresh();
      SetCursor(before);
      return 0;
    }
    case kCloseMessage:
      DestroyWindow(hwnd());
      return 0;
    case WM_CLOSE:
      if (form_.closeQuery()) DestroyWindow(hwnd());
      return 0;
    case WM_DESTROY:
      detachViews();
      if (onDestroyed) onDestroyed();
      return 0;
  }
  return defaultHandling(message, wParam, lParam);
}

}  // namespace bakwyn::ui
