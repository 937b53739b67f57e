#include "ui/Widgets.h"

#include <windowsx.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "base/Text.h"
#include "form/FrmMainIds.h"

namespace bakwyn::ui {
namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

HWND PanelRootOwner(HWND hwnd) { return GetAncestor(hwnd, GA_ROOTOWNER); }

}  // namespace

HWND CreateChildWindow(const wchar_t* className, int id, const WidgetArgs& args, HFONT font) {
  const std::u16string text = Utf8ToUtf16(args.text);
  HWND hwnd = CreateWindowExW(args.exStyle, className, Wide(text), WS_CHILD | WS_VISIBLE | args.style, args.x,
                              args.y, args.width, args.height, args.parent,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (hwnd && font) SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return hwnd;
}

// ---- Panel ----------------------------------------------------------------

PanelView::PanelView(int id, const WidgetArgs& args, COLORREF background, bool visible)
    : background_(CreateSolidBrush(background)) {
  CreateArgs create;
  create.className = L"BakwynPanel";
  create.title = args.text;
  create.parent = args.parent;
  create.x = args.x, create.y = args.y, create.width = args.width, create.height = args.height;
  // Tab and Shift+Tab reach the controls inside the panel.
  create.exStyle = args.exStyle | WS_EX_CONTROLPARENT;
  // The class background is null: the panel paints its own.
  create.style = WS_CHILD | (visible ? WS_VISIBLE : 0) | WS_CLIPCHILDREN | args.style;
  if (this->create(create, nullptr)) SetWindowLongPtrW(hwnd(), GWLP_ID, id);
}

PanelView::~PanelView() { destroy(); }

LRESULT PanelView::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(hwnd(), &rc);
      FillRect(reinterpret_cast<HDC>(wParam), &rc, background_.get());
      return 1;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd(), &ps);
      if (onPaint) {
        RECT rc;
        GetClientRect(hwnd(), &rc);
        onPaint(dc, rc);
      }
      EndPaint(hwnd(), &ps);
      return 0;
    }
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX: {
      // The top-level window decides for every control, wherever it sits.
      HWND root = PanelRootOwner(hwnd());
      if (root && root != hwnd()) return SendMessageW(root, message, wParam, lParam);
      break;
    }
    case WM_SETCURSOR: {
      HWND root = PanelRootOwner(hwnd());
      if (root && root != hwnd() && reinterpret_cast<HWND>(wParam) != hwnd() &&
          SendMessageW(root, message, wParam, lParam))
        return TRUE;
      break;
    }
  }
  return defaultHandling(message, wParam, lParam);
}

// ---- Labels, buttons, rules -------------------------------------------------

LabelView::LabelView(const form::Label& model, int id, const WidgetArgs& args, HFONT font) {
  WidgetArgs a = args;
  a.text = model.caption();
  hwnd_ = CreateChildWindow(L"STATIC", id, a, font);
}

LinkView::LinkView(form::LinkLabel& model, int id, const WidgetArgs& args, HFONT underlinedFont)
    : LabelView(model, id, [&] {
        WidgetArgs a = args;
        a.style |= SS_NOTIFY;  // without it a static control reports no clicks
        return a;
      }(), underlinedFont),
      model_(model) {}

void LinkView::command(int, WORD code) {
  if (code == STN_CLICKED && model_.onClick) model_.onClick(model_);
}

ButtonView::ButtonView(form::Button& model, int id, const WidgetArgs& args, HFONT font) : model_(model) {
  WidgetArgs a = args;
  a.text = model.caption();
  a.style |= WS_TABSTOP;
  hwnd_ = CreateChildWindow(L"BUTTON", id, a, font);
}

void ButtonView::command(int, WORD code) {
  if (code == BN_CLICKED && model_.onClick) model_.onClick();
}

BevelView::BevelView(int id, const WidgetArgs& args) {
  WidgetArgs a = args;
  a.style |= args.width >= args.height ? SS_ETCHEDHORZ : SS_ETCHEDVERT;
  hwnd_ = CreateChildWindow(L"STATIC", id, a, nullptr);
}

// ---- Page control -----------------------------------------------------------

PageControlView::PageControlView(const form::PageControl& model, int id, const WidgetArgs& args, HFONT font) {
  WidgetArgs a = args;
  a.style |= TCS_BUTTONS | TCS_FLATBUTTONS | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | WS_TABSTOP;
  a.exStyle |= WS_EX_CONTROLPARENT;  // its pages hold controls
  hwnd_ = CreateChildWindow(WC_TABCONTROLW, id, a, font);
  SetWindowSubclass(hwnd_, &PageControlView::TabProcedure, 0, reinterpret_cast<DWORD_PTR>(this));
  for (const std::string& caption : model.tabs) {
    std::u16string text = Utf8ToUtf16(caption);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(Wide(text));
    const int index = TabCtrl_GetItemCount(hwnd_);
    TabCtrl_InsertItem(hwnd_, index, &item);
    pages_.push_back(nullptr);
  }
}

RECT PageControlView::pageRect() const {
  RECT rc;
  GetClientRect(hwnd_, &rc);
  TabCtrl_AdjustRect(hwnd_, FALSE, &rc);
  return rc;
}

void PageControlView::setPage(int index, PanelView& page) {
  if (index < 0 || index >= static_cast<int>(pages_.size())) return;
  pages_[static_cast<size_t>(index)] = &page;
  select(selected() < 0 ? 0 : selected());
}

void PageControlView::select(int index) { TabCtrl_SetCurSel(hwnd_, index); }

int PageControlView::selected() const { return TabCtrl_GetCurSel(hwnd_); }

void PageControlView::showPage(int index) {
  // Show the new page before hiding the old one, so nothing flickers through.
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (static_cast<int>(i) == index && pages_[i]) ShowWindow(pages_[i]->hwnd(), SW_SHOW);
  }
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (static_cast<int>(i) != index && pages_[i]) ShowWindow(pages_[i]->hwnd(), SW_HIDE);
  }
}

LRESULT PageControlView::notify(const NMHDR& header) {
  if (header.code == static_cast<UINT>(TCN_SELCHANGE)) showPage(selected());
  return 0;
}

LRESULT CALLBACK PageControlView::TabProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                               DWORD_PTR self) {
  if (message == WM_NCDESTROY) RemoveWindowSubclass(hwnd, &PageControlView::TabProcedure, 0);
  const LRESULT result = DefSubclassProc(hwnd, message, wParam, lParam);
  // The tab control reports no change when the selection is set by a message;
  // the page must follow whoever sets it.
  if (message == TCM_SETCURSEL) reinterpret_cast<PageControlView*>(self)->showPage(static_cast<int>(wParam));
  return result;
}

// ---- Memo -----------------------------------------------------------------

MemoView::MemoView(int id, const WidgetArgs& args, HFONT font, bool readOnly) {
  WidgetArgs a = args;
  // No word wrap: long lines scroll sideways.
  a.style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP |
             (readOnly ? ES_READONLY : 0);
  a.exStyle |= WS_EX_CLIENTEDGE;
  hwnd_ = CreateChildWindow(L"EDIT", id, a, font);
  // The default limit of a multi-line edit is 32,767 characters; the log pane
  // must never drop a line. 0 asks for the largest limit the control has.
  SendMessageW(hwnd_, EM_SETLIMITTEXT, 0, 0);
  SetWindowSubclass(hwnd_, &MemoView::Procedure, 0, reinterpret_cast<DWORD_PTR>(this));
}

void MemoView::showText(const std::string& text) {
  pending_.clear();
  const std::u16string wide = Utf8ToUtf16(text);
  flushing_ = true;
  SendMessageW(hwnd_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
  flushing_ = false;
}

void MemoView::showAppended(const std::string& lines) {
  pending_ += Utf8ToUtf16(lines);
  if (!IsWindowVisible(GetAncestor(hwnd_, GA_ROOT))) return;
  // The view follows the newest line without taking the keyboard focus: a
  // scheduled backup while the user types must not send the keys to the log.
  // (The message first writes out the pending lines.)
  SendMessageW(hwnd_, EM_SCROLLCARET, 0, 0);
  InvalidateRect(hwnd_, nullptr, TRUE);
  UpdateWindow(hwnd_);
}

void MemoView::flush() {
  flushing_ = true;
  const std::u16string text = std::move(pending_);
  pending_.clear();
  const LRESULT end = SendMessageW(hwnd_, WM_GETTEXTLENGTH, 0, 0);
  SendMessageW(hwnd_, EM_SETSEL, static_cast<WPARAM>(end), end);
  SendMessageW(hwnd_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  flushing_ = false;
}

LRESULT CALLBACK MemoView::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                     DWORD_PTR self) {
  auto* memo = reinterpret_cast<MemoView*>(self);
  if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(hwnd, &MemoView::Procedure, 0);
  } else if (!memo->flushing_ && !memo->pending_.empty()) {
    memo->flush();
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

// ---- Status bar -------------------------------------------------------------

StatusBarView::StatusBarView(const form::StatusBar& model, int id, HWND parent, HFONT font) {
  WidgetArgs args;
  args.parent = parent;
  args.style = WS_CLIPSIBLINGS;  // the drop-down panel may reach over it
  hwnd_ = CreateChildWindow(STATUSCLASSNAMEW, id, args, font);
  // The parts are given by their right edges.
  std::vector<int> edges;
  int right = 0;
  for (int width : model.panelWidths) edges.push_back(right += width);
  SendMessageW(hwnd_, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
}

int StatusBarView::height() const {
  RECT rc;
  GetWindowRect(hwnd_, &rc);
  return rc.bottom - rc.top;
}

// ---- Menu, tray icon, timer ---------------------------------------------------

void PopupMenuAt(const form::PopupMenu& model, HWND owner, POINT screenPoint) {
  UniqueMenu menu(CreatePopupMenu());
  for (const form::MenuItem* item : model.items) {
    const auto id = static_cast<UINT_PTR>(form::FrmMainControlId(item->name()));
    if (item->caption() == "-") {
      AppendMenuW(menu.get(), MF_SEPARATOR, id, nullptr);
    } else {
      const std::u16string text = Utf8ToUtf16(item->caption());
      AppendMenuW(menu.get(),
                  MF_STRING | (item->checked() ? MF_CHECKED : MF_UNCHECKED) | (item->enabled() ? MF_ENABLED : MF_GRAYED),
                  id, Wide(text));
    }
  }
  TrackPopupMenu(menu.get(), TPM_RIGHTBUTTON, screenPoint.x, screenPoint.y, 0, owner, nullptr);
  // Without a message after the menu, a second click on the tray icon would
  // open it only every other time (the menu's known quirk with hidden owners).
  PostMessageW(owner, WM_NULL, 0, 0);
}

TrayIconView::TrayIconView(HWND owner, UINT id, UINT callbackMessage, HICON icon, HICON alarmIcon, std::string tip)
    : owner_(owner), id_(id), callback_(callbackMessage), iconHandle_(icon), alarmIcon_(alarmIcon),
      tip_(std::move(tip)) {}

void TrayIconView::showVisible(bool visible) {
  if (visible && !icon_) {
    icon_.emplace(owner_, id_, callback_, alarmed_ ? alarmIcon_ : iconHandle_, tip_);
  } else if (!visible) {
    icon_.reset();
  }
}

void TrayIconView::showTip(const std::string& tip) {
  if (tip.empty()) return;  // the model has none yet: the caption stays
  tip_ = tip;
  if (icon_) icon_->setTip(tip_);
}

void TrayIconView::showAlarm(bool on) {
  alarmed_ = on;
  if (icon_) icon_->setIcon(on ? alarmIcon_ : iconHandle_);
}

void TrayIconView::showBalloon(const std::string& title, const std::string& text) {
  if (icon_) icon_->balloon(title, text);
}

void TrayIconView::reAdd() {
  if (icon_) icon_->reAdd();
}

bool TrayIconView::versionFour() const { return icon_ && icon_->versionFour(); }

void TimerView::showEnabled(bool enabled) {
  if (enabled == running_) return;
  running_ = enabled;
  if (enabled)
    SetTimer(owner_, static_cast<UINT_PTR>(id_), interval_, nullptr);
  else
    KillTimer(owner_, static_cast<UINT_PTR>(id_));
}

// ---- Edit views ---------------------------------------------------------------

EditView::EditView(TdxInplaceTextEdit& model, int id, const WidgetArgs& args, HFONT font)
    : model_(model), edit_(CreateChildWindow(L"EDIT", id, [&] {
        WidgetArgs a = args;
        a.style |= ES_AUTOHSCROLL | WS_TABSTOP | WS_BORDER;
        // A password field shows stars because the model says it is one: the
        // store protects exactly what the window hides.
        if (auto* edit = dynamic_cast<const TdxEdit*>(&model); edit && edit->password()) a.style |= ES_PASSWORD;
        return a;
      }(), font)) {}

void EditView::showText(const std::string& text) {
  showing_ = true;
  SetWindowTextUtf8(edit_, text);
  showing_ = false;
}

void EditView::showEnabled(bool enabled) {
  EnableWindow(edit_, enabled);
  if (button_) EnableWindow(button_, enabled);
}

void EditView::command(int id, WORD code) {
  if (id == GetDlgCtrlID(edit_) && code == EN_CHANGE && !showing_)
    model_.setText(WindowTextUtf8(edit_), Source::User);
}

ButtonEditView::ButtonEditView(TdxButtonEdit& model, int id, const WidgetArgs& args, HFONT font)
    : EditView(model, id, [&] {
        WidgetArgs a = args;
        a.width -= a.height;  // the button is square, at the right end
        return a;
      }(), font),
      buttonModel_(model) {
  WidgetArgs b;
  b.parent = args.parent;
  b.x = args.x + args.width - args.height, b.y = args.y, b.width = args.height, b.height = args.height;
  b.text = "...";
  button_ = CreateChildWindow(L"BUTTON", id + form::kPartIdOffset, b, font);
}

void ButtonEditView::command(int id, WORD code) {
  if (id == GetDlgCtrlID(button_)) {
    if (code == BN_CLICKED && buttonModel_.onButtonClick) buttonModel_.onButtonClick(buttonModel_);
    return;
  }
  EditView::command(id, code);
}

PopupEditView::PopupEditView(TdxPopupEdit& model, int id, const WidgetArgs& args, HFONT font, PanelView& panel)
    : EditView(model, id, [&] {
        WidgetArgs a = args;
        a.width -= a.height;
        return a;
      }(), font),
      popupModel_(model), popup_(panel) {
  WidgetArgs b;
  b.parent = args.parent;
  b.x = args.x + args.width - args.height, b.y = args.y, b.width = args.height, b.height = args.height;
  b.text = "\xE2\x96\xBC";  // a down-pointing triangle
  button_ = CreateChildWindow(L"BUTTON", id + form::kPartIdOffset, b, font);
  popupModel_.onDropDownChanged = [this](bool open) { showPopup(open); };
  popup_.onDeactivate = [this] {
    if (!popupModel_.droppedDown()) return;
    const DWORD at = GetMessagePos();
    const POINT point{GET_X_LPARAM(at), GET_Y_LPARAM(at)};
    closedByButtonPress_ = WindowFromPoint(point) == button_ && GetKeyState(VK_LBUTTON) < 0;
    popupModel_.closeUp(false);
  };
}

void PopupEditView::command(int id, WORD code) {
  if (id == GetDlgCtrlID(button_)) {
    if (code == BN_CLICKED) {
      if (std::exchange(closedByButtonPress_, false)) return;
      if (popupModel_.droppedDown())
        popupModel_.closeUp(false);
      else
        popupModel_.dropDown();
    }
    return;
  }
  EditView::command(id, code);
}

void PopupEditView::showPopup(bool open) {
  if (!open) {
    ShowWindow(popup_.hwnd(), SW_HIDE);
    return;
  }
  // Below the edit, left-aligned with it, in the panel's parent's coordinates;
  // kept inside the parent's client area.
  HWND parent = GetParent(popup_.hwnd());
  RECT edit;
  GetWindowRect(edit_, &edit);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&edit), 2);
  RECT panel, client;
  GetWindowRect(popup_.hwnd(), &panel);
  GetClientRect(parent, &client);
  const int height = panel.bottom - panel.top;
  const int y = edit.bottom + height <= client.bottom ? edit.bottom : std::max(0L, client.bottom - height);
  SetWindowPos(popup_.hwnd(), HWND_TOP, edit.left, y, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
  // The list inside takes the focus; losing it closes the panel.
  if (HWND first = GetWindow(popup_.hwnd(), GW_CHILD))
    SetFocus(first);
  else
    SetFocus(popup_.hwnd());
}

// The mask of the time editor: "HH:MM", digits or blanks around a fixed colon.
namespace {

constexpr int kTimeLength = 5;
constexpr int kColon = 2;

std::u16string MaskedTime(HWND edit) {
  std::u16string text(kTimeLength + 1, u'\0');
  const LRESULT got = SendMessageW(edit, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(got));
  if (text.size() != kTimeLength || text[kColon] != u':') return u"  :  ";
  return text;
}

void PutMaskedTime(HWND edit, const std::u16string& text, int caret) {
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(caret), caret);
  // WM_SETTEXT does not report a change; the parent hears of it like a keystroke.
  SendMessageW(GetParent(edit), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(edit), EN_CHANGE), reinterpret_cast<LPARAM>(edit));
}

LRESULT CALLBACK TimeMaskProcedure(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  switch (message) {
    case WM_CHAR: {
      DWORD start = 0;
      SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
      int pos = static_cast<int>(start);
      std::u16string text = MaskedTime(edit);
      if (wParam >= L'0' && wParam <= L'9') {
        if (pos == kColon) ++pos;
        if (pos >= kTimeLength) return 0;
        // Only times of the day: hours 00 to 23, minutes 00 to 59. A slot at
        // "25:00" would never run, and nobody would be told.
        const auto digit = static_cast<char16_t>(wParam);
        if ((pos == 0 && digit > u'2') || (pos == 1 && text[0] == u'2' && digit > u'3') || (pos == 3 && digit > u'5')) {
          MessageBeep(MB_OK);
          return 0;
        }
        // A first hour digit 2 before a second one above 3 ("29") makes "20".
        if (pos == 0 && digit == u'2' && text[1] > u'3' && text[1] <= u'9') text[1] = u'0';
        text[static_cast<size_t>(pos)] = digit;
        ++pos;
        if (pos == kColon) ++pos;
        PutMaskedTime(edit, text, pos);
        return 0;
      }
      if (wParam == VK_BACK) {
        if (pos == kColon + 1) --pos;
        if (pos <= 0) return 0;
        --pos;
        text[static_cast<size_t>(pos)] = u' ';
        PutMaskedTime(edit, text, pos);
        return 0;
      }
      if (wParam == 3) break;  // Ctrl+C copies
      return 0;                // anything else would break the mask
    }
    case WM_KEYDOWN:
      if (wParam == VK_DELETE) {
        DWORD start = 0;
        SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), 0);
        int pos = static_cast<int>(start);
        if (pos == kColon) ++pos;
        if (pos >= kTimeLength) return 0;
        std::u16string text = MaskedTime(edit);
        text[static_cast<size_t>(pos)] = u' ';
        PutMaskedTime(edit, text, pos);
        return 0;
      }
      break;
    case WM_PASTE:
    case WM_CUT:
    case WM_CLEAR:
      return 0;
    case WM_SETTEXT: {
      // Whoever sets the text, it stays a time of the day (blanks read as 0).
      const auto* wide = reinterpret_cast<const char16_t*>(lParam);
      if (!wide || !form::IsValidTime(form::TimeDigits(Utf16ToUtf8(wide)))) return FALSE;
      break;
    }
    case WM_NCDESTROY:
      RemoveWindowSubclass(edit, &TimeMaskProcedure, 0);
      break;
  }
  return DefSubclassProc(edit, message, wParam, lParam);
}

}  // namespace

TimeEditView::TimeEditView(TdxTimeEdit& model, int id, const WidgetArgs& args, HFONT font)
    : EditView(model, id, args, font) {
  SetWindowSubclass(edit_, &TimeMaskProcedure, 0, 0);
}

// ---- Spin editor ------------------------------------------------------------------

std::string SpinText(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.15g", value);
  return buffer;
}

SpinEditView::SpinEditView(TdxSpinEdit& model, int id, const WidgetArgs& args, HFONT font)
    : model_(model), edit_(CreateChildWindow(L"EDIT", id, [&] {
        WidgetArgs a = args;
        // Scrolling sideways: without it the narrow field would refuse every
        // digit beyond the one or two it shows.
        a.style |= ES_RIGHT | ES_NUMBER | ES_AUTOHSCROLL | WS_TABSTOP | WS_BORDER;
        return a;
      }(), font)) {
  // The up-down takes the right end of the given width, so the pair is exactly
  // as wide as asked; placed by hand, because the controls' own alignment
  // differs between systems by the border overlap.
  const int wanted = std::min(GetSystemMetrics(SM_CXVSCROLL), args.width / 2);
  upDown_ = CreateWindowExW(0, UPDOWN_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | UDS_ARROWKEYS | UDS_NOTHOUSANDS,
                            args.x + args.width - wanted, args.y, wanted, args.height, args.parent,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id + form::kPartIdOffset)),
                            GetModuleHandleW(nullptr), nullptr);
  SendMessageW(upDown_, UDM_SETBUDDY, reinterpret_cast<WPARAM>(edit_), 0);
  SendMessageW(upDown_, UDM_SETRANGE32, 0, 1);
  limitDigits();
  // The up-down may settle on a width of its own; the edit takes the rest.
  RECT arrows;
  GetWindowRect(upDown_, &arrows);
  const int arrowsWidth = arrows.right - arrows.left;
  SetWindowPos(upDown_, nullptr, args.x + args.width - arrowsWidth, args.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  SetWindowPos(edit_, nullptr, 0, 0, args.width - arrowsWidth, args.height, SWP_NOMOVE | SWP_NOZORDER);
}

void SpinEditView::limitDigits() {
  // No more digits than the largest value has: 9999999999 cannot be typed.
  const double max = model_.maxValue();
  if (max >= 1 && max < 1e15) SendMessageW(edit_, EM_LIMITTEXT, SpinText(std::trunc(max)).size(), 0);
}

void SpinEditView::showValue(double value) {
  showing_ = true;
  SetWindowTextUtf8(edit_, SpinText(value));
  showing_ = false;
}

void SpinEditView::showEnabled(bool enabled) {
  EnableWindow(edit_, enabled);
  EnableWindow(upDown_, enabled);
}

void SpinEditView::command(int id, WORD code) {
  if (id != GetDlgCtrlID(edit_) || showing_) return;
  const bool ranged = !(model_.minValue() == 0 && model_.maxValue() == 0);
  if (code == EN_KILLFOCUS) {
    // What was typed is held to the range once the user leaves the field.
    if (ranged && (model_.value() < model_.minValue() || model_.value() > model_.maxValue()))
      model_.setValue(std::clamp(model_.value(), model_.minValue(), model_.maxValue()));
    return;
  }
  if (code != EN_CHANGE) return;
  const std::string text = WindowTextUtf8(edit_);
  // ES_NUMBER admits only digits by typing; a paste may bring anything else,
  // which leaves the value as it was.
  if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos) return;
  model_.setValue(static_cast<double>(std::stoll(text)), Source::User);
}

LRESULT SpinEditView::notify(const NMHDR& header) {
  if (header.code != static_cast<UINT>(UDN_DELTAPOS)) return 0;
  const auto& change = reinterpret_cast<const NMUPDOWN&>(header);
  double next = std::trunc(model_.value()) + change.iDelta;
  if (!(model_.minValue() == 0 && model_.maxValue() == 0)) {
    if (next < model_.minValue()) next = model_.minValue();
    if (next > model_.maxValue()) next = model_.maxValue();
  }
  model_.setValue(next, Source::User);
  showValue(next);
  return 1;  // the up-down keeps no position of its own: the model has the value
}

// ---- Check box -------------------------------------------------------------------

CheckView::CheckView(TdxCheckEdit& model, int id, const WidgetArgs& args, HFONT font)
    : model_(model), hwnd_(CreateChildWindow(L"BUTTON", id, [&] {
        WidgetArgs a = args;
        a.text = model.caption();
        a.style |= BS_AUTOCHECKBOX | WS_TABSTOP;
        return a;
      }(), font)) {}

void CheckView::showChecked(bool checked) {
  SendMessageW(hwnd_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void CheckView::showEnabled(bool enabled) { EnableWindow(hwnd_, enabled); }

void CheckView::command(int, WORD code) {
  if (code != BN_CLICKED) return;
  model_.setChecked(SendMessageW(hwnd_, BM_GETCHECK, 0, 0) == BST_CHECKED, Source::User);
}

// ---- Pick list -------------------------------------------------------------------

PickView::PickView(TdxPickEdit& model, int id, const WidgetArgs& args, HFONT font)
    : model_(model), hwnd_(CreateChildWindow(WC_COMBOBOXW, id, [&] {
        WidgetArgs a = args;
        a.style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
        return a;
      }(), font)) {
  for (const std::string& item : model_.items()) {
    const std::u16string text = Utf8ToUtf16(item);
    SendMessageW(hwnd_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text)));
  }
}

void PickView::showText(const std::string&) {
  // The list holds the model's items in their order; a text that is none of
  // them shows an empty field (-1 selects nothing).
  SendMessageW(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(model_.itemIndex()), 0);
}

void PickView::showEnabled(bool enabled) { EnableWindow(hwnd_, enabled); }

void PickView::command(int, WORD code) {
  // Setting the selection by a message reports no change: only the user's
  // choice arrives here.
  if (code != CBN_SELCHANGE) return;
  const LRESULT index = SendMessageW(hwnd_, CB_GETCURSEL, 0, 0);
  if (index != CB_ERR) model_.setItemIndex(static_cast<int>(index), Source::User);
}

// ---- Tree list -----------------------------------------------------------------

TreeListView::TreeListView(TdxTreeList& model, int id, const WidgetArgs& args, HFONT font)
    : model_(model), hwnd_(CreateChildWindow(WC_LISTVIEWW, id, [&] {
        WidgetArgs a = args;
        a.style |= LVS_REPORT | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER | WS_TABSTOP;
        return a;
      }(), font)) {
  ListView_SetExtendedListViewStyle(hwnd_, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  for (const TreeColumn& column : model_.columns()) {
    const std::u16string caption = Utf8ToUtf16(column.caption);
    LVCOLUMNW lvc{};
    lvc.mask = LVCF_TEXT | LVCF_WIDTH;
    lvc.pszText = const_cast<wchar_t*>(Wide(caption));
    lvc.cx = column.width;
    ListView_InsertColumn(hwnd_, columnsShown_++, &lvc);
  }
}

void TreeListView::showColumnWidth(int column, int width) {
  if (column < columnsShown_) ListView_SetColumnWidth(hwnd_, column, width);
}

void TreeListView::showRows() {
  SendMessageW(hwnd_, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(hwnd_);
  int row = 0;
  // Depth-first, so a child row follows its parent as in the tree.
  std::function<void(const std::vector<std::unique_ptr<TreeNode>>&)> add =
      [&](const std::vector<std::unique_ptr<TreeNode>>& nodes) {
        for (const auto& node : nodes) {
          const std::u16string first = Utf8ToUtf16(node->values.empty() ? std::string() : node->values[0]);
          LVITEMW item{};
          item.mask = LVIF_TEXT | LVIF_PARAM;
          item.iItem = row++;
          item.pszText = const_cast<wchar_t*>(Wide(first));
          item.lParam = reinterpret_cast<LPARAM>(node.get());
          const int index = ListView_InsertItem(hwnd_, &item);
          for (int c = 1; c < columnsShown_ && c < static_cast<int>(node->values.size()); ++c) {
            const std::u16string value = Utf8ToUtf16(node->values[static_cast<size_t>(c)]);
            ListView_SetItemText(hwnd_, index, c, const_cast<wchar_t*>(Wide(value)));
          }
          if (node.get() == model_.focusedNode())
            ListView_SetItemState(hwnd_, index, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
          add(node->children);
        }
      };
  add(model_.topNodes());
  SendMessageW(hwnd_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void TreeListView::showEnabled(bool enabled) { EnableWindow(hwnd_, enabled); }

LRESULT TreeListView::notify(const NMHDR& header) {
  auto nodeAt = [&](int index) -> TreeNode* {
    if (index < 0) return nullptr;
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = index;
    if (!ListView_GetItem(hwnd_, &item)) return nullptr;
    return reinterpret_cast<TreeNode*>(item.lParam);
  };
  if (header.code == static_cast<UINT>(LVN_ITEMCHANGED)) {
    const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
    if (change.uChanged & LVIF_STATE) {
      if (TreeNode* node = nodeAt(change.iItem)) {
        node->selected = (change.uNewState & LVIS_SELECTED) != 0;
        if ((change.uNewState & LVIS_FOCUSED) && !(change.uOldState & LVIS_FOCUSED))
          model_.setFocusedNode(node, Source::User);
      }
    }
  } else if (header.code == static_cast<UINT>(NM_KILLFOCUS)) {
    if (onFocusLost) onFocusLost();
  } else if (header.code == static_cast<UINT>(LVN_KEYDOWN)) {
    model_.keyDown(reinterpret_cast<const NMLVKEYDOWN&>(header).wVKey);
  } else if (header.code == static_cast<UINT>(NM_CLICK)) {
    const auto& click = reinterpret_cast<const NMITEMACTIVATE&>(header);
    if (TreeNode* node = nodeAt(click.iItem)) model_.setFocusedNode(node, Source::User);
    if (model_.onClick) model_.onClick(model_);
  }
  return 0;
}

WidgetArgs At(HWND parent, int x, int y, int width, int height, DWORD style) {
  WidgetArgs a;
  a.parent = parent;
  a.x = x, a.y = y, a.width = width, a.height = height;
  a.style = style;
  return a;
}

int TextWidth(HWND hwnd, HFONT font, const std::string& text) {
  const std::u16string wide = Utf8ToUtf16(text);
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, reinterpret_cast<const wchar_t*>(wide.c_str()), static_cast<int>(wide.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  return size.cx;
}

}  // namespace bakwyn::ui
