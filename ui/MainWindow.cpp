#include "ui/MainWindow.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "base/Text.h"
#include "form/FrmMainIds.h"

namespace bakwyn::ui {
namespace {

constexpr int kClientWidth = 634;
constexpr int kClientHeight = 344;
constexpr int kHeaderHeight = 65;
constexpr int kButtonColumnWidth = 85;
constexpr UINT kTrayMessage = WM_APP + 1;
constexpr UINT kTrayIconId = 1;
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kLinkBlue = RGB(0, 0, 255);

int IdOf(const form::Component& component) {
  const int id = form::FrmMainControlId(component.name());
  // A name missing from the table would give every such control ID 0 and make
  // it unreachable for the dispatch and for the driver.
  if (id == 0) std::abort();
  return id;
}

// A device context of a window, released with it.
class WindowDC {
 public:
  explicit WindowDC(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
  ~WindowDC() { ReleaseDC(hwnd_, dc_); }
  WindowDC(const WindowDC&) = delete;
  WindowDC& operator=(const WindowDC&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND hwnd_;
  HDC dc_;
};

// The height `text` takes in a static control `width` pixels wide, which
// breaks its lines as DrawText does; the system decides where a line of
// Chinese may break, so the layout asks it rather than counting characters.
int WrappedTextHeight(HWND hwnd, HFONT font, const std::string& text, int width) {
  const std::u16string wide = Utf8ToUtf16(text);
  WindowDC dc(hwnd);
  HGDIOBJ old = SelectObject(dc.get(), font);
  RECT rc{0, 0, width, 0};
  DrawTextW(dc.get(), reinterpret_cast<const wchar_t*>(wide.c_str()), static_cast<int>(wide.size()), &rc,
            DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  SelectObject(dc.get(), old);
  return rc.bottom - rc.top;
}

}  // namespace

MainWindow::MainWindow(form::SettingsForm& form)
    : form_(form), taskbarCreated_(RegisterWindowMessageW(L"TaskbarCreated")),
      showSettings_(RegisterWindowMessageW(kShowSettingsMessage)) {
  // A fixed single border with a caption, the minimise box declared but no
  // system menu, hence no close box: leaving goes through the exit button.
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  CreateArgs args;
  args.className = L"TFrmMain";
  args.title = form::kFrmMainCaption;
  args.style = style;
  args.x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  args.y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  args.width = width;
  args.height = height;
  if (!create(args)) std::abort();
  // An instance with administrator rights must still hear the shell's
  // "TaskbarCreated" (its tray icon comes back after Explorer restarts) and a
  // second start's request to show the settings, both sent by processes
  // without those rights.
  for (UINT message : {taskbarCreated_, showSettings_}) {
    if (message != 0) ChangeWindowMessageFilterEx(hwnd(), message, MSGFLT_ALLOW, nullptr);
  }
  tray_ = std::make_unique<TrayIconView>(hwnd(), kTrayIconId, kTrayMessage,
                                         LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1)),
                                         LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(2)),
                                         form::kFrmMainCaption);
  form_.rmTrayIcon1.attach(tray_.get());
  timer_ = std::make_unique<TimerView>(hwnd(), IdOf(form_.Timer1), form_.Timer1.interval());
  form_.Timer1.attach(timer_.get());
  timer2_ = std::make_unique<TimerView>(hwnd(), IdOf(form_.Timer2), form_.Timer2.interval());
  form_.Timer2.attach(timer2_.get());
}

MainWindow::~MainWindow() {
  destroy();
  // The model outlives the window: nothing may reach the views any more.
  for (auto& [model, view] : views_) model->attach(nullptr);
  form_.rmTrayIcon1.attach(nullptr);
  form_.Timer1.attach(nullptr);
  form_.Timer2.attach(nullptr);
}

template <typename View, typename... Args>
View& MainWindow::attach(form::Control& model, int id, Args&&... args) {
  auto view = std::make_unique<View>(std::forward<Args>(args)...);
  View& ref = *view;
  if constexpr (std::is_base_of_v<Widget, View>) {
    // Both windows of a two-window control report to the same view.
    widgets_[id] = &ref;
    widgets_[id + form::kPartIdOffset] = &ref;
  }
  model.attach(&ref);
  views_.emplace_back(&model, std::move(view));
  return ref;
}

void MainWindow::buildWidgets() {
  // The common controls are loaded for the window, not for the tray program.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES |
                                                     ICC_BAR_CLASSES | ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);
  // The Chinese interface's fixed-pitch Song face at 12 pixels.
  LOGFONTW lf{};
  lf.lfHeight = -12;
  lf.lfCharSet = GB2312_CHARSET;
  lf.lfQuality = DEFAULT_QUALITY;
  wcscpy_s(lf.lfFaceName, L"\u65B0\u5B8B\u4F53");  // 新宋体
  font_.reset(CreateFontIndirectW(&lf));
  lf.lfUnderline = TRUE;
  linkFont_.reset(CreateFontIndirectW(&lf));
  white_.reset(CreateSolidBrush(kWhite));
  SendMessageW(hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);

  form::SettingsForm& f = form_;
  HWND self = hwnd();
  HFONT font = font_.get();
  HFONT link = linkFont_.get();

  // Header strip: white, with the picture on the right.
  auto& header = attach<PanelView>(f.Panel1, IdOf(f.Panel1), IdOf(f.Panel1), At(self, 0, 0, kClientWidth, kHeaderHeight),
                                   kWhite);
  header_ = header.hwnd();
  auto& picture = attach<PanelView>(f.Image1, IdOf(f.Image1), IdOf(f.Image1),
                                    At(header_, kClientWidth - 78, 4, 70, 57), kWhite);
  picture.onPaint = [this](HDC dc, const RECT& rc) { drawPicture(dc, rc); };
  auto label = [&](form::Label& model, HWND parent, int x, int y, int width) {
    attach<LabelView>(model, IdOf(model), model, IdOf(model), At(parent, x, y, width, 14), font);
  };
  auto linkLabel = [&](form::LinkLabel& model, HWND parent, int x, int y) {
    auto& view = attach<LinkView>(model, IdOf(model), model, IdOf(model),
                                  At(parent, x, y, TextWidth(parent, link, model.caption()) + 2, 14), link);
    links_.push_back(view.hwnd());
  };
  label(f.Label1, header_, 12, 8, 300);
  label(f.Label2, header_, 12, 26, 460);
  label(f.Label3, header_, 12, 44, 90);
  linkLabel(f.Label10, header_, 12 + TextWidth(header_, font, f.Label3.caption()) + 4, 44);
  attach<BevelView>(f.Bevel1, IdOf(f.Bevel1), IdOf(f.Bevel1), At(self, 0, kHeaderHeight, kClientWidth, 2));

  // The status bar's height decides the main area's; it is created last (its
  // place in the creation order) but measured here from the font.
  const int statusHeight = 20;
  const int mainTop = kHeaderHeight + 2;
  const int mainHeight = kClientHeight - statusHeight - mainTop;

  // Button column on the right.
  auto& column = attach<PanelView>(f.Panel2, IdOf(f.Panel2), IdOf(f.Panel2),
                                   At(self, kClientWidth - kButtonColumnWidth, mainTop, kButtonColumnWidth, mainHeight),
                                   GetSysColor(COLOR_BTNFACE));
  auto button = [&](form::Button& model, HWND parent, int x, int y, int width, int height, DWORD style = 0) {
    attach<ButtonView>(model, IdOf(model), model, IdOf(model), At(parent, x, y, width, height, style), font);
  };
  button(f.BitBtn1, column.hwnd(), 6, 12, 73, 25);
  button(f.BitBtn3, column.hwnd(), 6, 44, 73, 25);
  button(f.BitBtn2, column.hwnd(), 6, mainHeight - 37, 73, 25);

  // The page control and its first page.
  auto& pages = attach<PageControlView>(
      f.PageControl1, IdOf(f.PageControl1), f.PageControl1, IdOf(f.PageControl1),
      At(self, 4, mainTop + 4, kClientWidth - kButtonColumnWidth - 8, mainHeight - 6), font);
  const RECT pageRect = pages.pageRect();
  const int pageWidth = pageRect.right - pageRect.left;
  const int pageHeight = pageRect.bottom - pageRect.top;
  auto page = [&](form::Panel& model) -> PanelView& {
    return attach<PanelView>(model, IdOf(model), IdOf(model),
                             At(pages.hwnd(), pageRect.left, pageRect.top, pageWidth, pageHeight),
                             GetSysColor(COLOR_BTNFACE));
  };
  PanelView& settingsPage = page(f.TabSheet1);
  HWND sheet = settingsPage.hwnd();
  // Six rows of fields (the sixth, the second folder, came later); the log pane below them.
  constexpr int kFieldsHeight = 141;
  auto& logPane = attach<MemoView>(f.mavMemo1, IdOf(f.mavMemo1), IdOf(f.mavMemo1),
                                   At(sheet, 4, kFieldsHeight, 520, pageHeight - kFieldsHeight - 4), font, true);
  whitePanes_.push_back(logPane.hwnd());

  // The drop-down panel of the database field, with the database list: hidden
  // until dropped down, then above everything else in the window.
  WidgetArgs panel7;
  panel7.parent = self;
  panel7.width = 158, panel7.height = 137;
  panel7.style = WS_BORDER | WS_CLIPSIBLINGS;
  auto& dropDown = attach<PanelView>(f.Panel7, IdOf(f.Panel7), IdOf(f.Panel7), panel7, GetSysColor(COLOR_BTNFACE),
                                     false);
  {
    RECT inside;
    GetClientRect(dropDown.hwnd(), &inside);
    auto& list = attach<TreeListView>(f.mavTree1, IdOf(f.mavTree1), f.mavTree1, IdOf(f.mavTree1),
                                      At(dropDown.hwnd(), 0, 0, inside.right, inside.bottom), font);
    list.onFocusLost = [&dropDown] {
      if (dropDown.onDeactivate) dropDown.onDeactivate();
    };
  }

  // Fields, left column: label, control.
  // Columns follow the labels as the font measures them: face substitution
  // changes the widths of both Latin and Chinese characters.
  constexpr int kLabelX = 6, kRow = 23, kTop = 4, kHeight = 20;
  int labelWidth = 0;
  for (const form::Label* l : {&f.Label4, &f.Label6, &f.Label7, &f.Label8, &f.Label9, &f.Label12})
    labelWidth = std::max(labelWidth, TextWidth(sheet, font, l->caption()) + 2);
  const int kEditX = kLabelX + labelWidth + 4;
  const int noteWidth = TextWidth(sheet, font, f.Label5.caption()) + 2;
  auto rowY = [&](int row) { return kTop + row * kRow; };
  auto fieldLabel = [&](form::Label& model, int row) { label(model, sheet, kLabelX, rowY(row) + 4, labelWidth); };
  fieldLabel(f.Label4, 0);
  attach<EditView>(f.mEdt2, IdOf(f.mEdt2), f.mEdt2, IdOf(f.mEdt2), At(sheet, kEditX, rowY(0), 120, kHeight), font);
  // The instances of this computer drop down from a button beside the field.
  button(f.SpeedButton2, sheet, kEditX + 122, rowY(0), kHeight, kHeight);
  label(f.Label5, sheet, kEditX + 124 + kHeight, rowY(0) + 4, noteWidth);
  fieldLabel(f.Label6, 1);
  attach<EditView>(f.mEdt3, IdOf(f.mEdt3), f.mEdt3, IdOf(f.mEdt3), At(sheet, kEditX, rowY(1), 120, kHeight), font);
  fieldLabel(f.Label7, 2);
  attach<EditView>(f.mEdt4, IdOf(f.mEdt4), f.mEdt4, IdOf(f.mEdt4), At(sheet, kEditX, rowY(2), 120, kHeight), font);
  fieldLabel(f.Label9, 4);
  attach<ButtonEditView>(f.mavBEdit2, IdOf(f.mavBEdit2), f.mavBEdit2, IdOf(f.mavBEdit2),
                         At(sheet, kEditX, rowY(4), 206, kHeight), font);

  // Right column, after a vertical rule: four backup times and the cleanup.
  const int checkMark = GetSystemMetrics(SM_CXMENUCHECK) + 4;
  const int kRuleX = std::max(kEditX + 124 + kHeight + noteWidth, kEditX + 206) + 4;
  const int kCheckX = kRuleX + 8;
  const int kTimeX = kCheckX + checkMark + TextWidth(sheet, font, form::SettingsForm::SlotCaption(4)) + 6;
  attach<BevelView>(f.Bevel2, IdOf(f.Bevel2), IdOf(f.Bevel2), At(sheet, kRuleX, kTop, 2, 4 * kRow + kHeight));
  for (int slot = 1; slot <= 4; ++slot) {
    form::TdxCheckEdit& check = f.slotCheck(slot);
    attach<CheckView>(check, IdOf(check), check, IdOf(check),
                      At(sheet, kCheckX, rowY(slot - 1), kTimeX - kCheckX - 2, kHeight), font);
    form::TmavTimeEdit& time = f.slotTime(slot);
    attach<TimeEditView>(time, IdOf(time), time, IdOf(time), At(sheet, kTimeX, rowY(slot - 1), 48, kHeight), font);
  }

  // The database field with its drop-down and the refresh button.
  fieldLabel(f.Label8, 3);
  attach<PopupEditView>(f.mEdt1, IdOf(f.mEdt1), f.mEdt1, IdOf(f.mEdt1), At(sheet, kEditX, rowY(3), 140, kHeight), font,
                        dropDown);
  button(f.SpeedButton1, sheet, kEditX + 144, rowY(3), 40, kHeight, BS_FLAT);

  // Cleanup: the spin editor sits over the blank gap of the check box's
  // caption, so the line reads "delete backups older than n days". The check
  // box is clipped where the spin editor lies over it, so the editor stays on top.
  attach<CheckView>(f.dxCheckEdit5, IdOf(f.dxCheckEdit5), f.dxCheckEdit5, IdOf(f.dxCheckEdit5),
                    At(sheet, kCheckX, rowY(4), 167, kHeight, WS_CLIPSIBLINGS), font);
  {
    // Where the gap starts: after the check mark and the first word, measured
    // in the font actually used (the blanks' width depends on the face).
    const int gapStart = kCheckX + checkMark + TextWidth(sheet, font, "自动删除");
    const int gapWidth = TextWidth(sheet, font, "      ");
    constexpr int kSpinWidth = 35;
    const int spinX = gapStart + (gapWidth - kSpinWidth) / 2;
    auto& spin = attach<SpinEditView>(f.mavSpinEdit1, IdOf(f.mavSpinEdit1), f.mavSpinEdit1, IdOf(f.mavSpinEdit1),
                                      At(sheet, spinX, rowY(4), kSpinWidth, kHeight), font);
    // Above the check box, which was created first.
    SetWindowPos(spin.hwnd(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetWindowPos(spin.upDown(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  }

  // The second page: the maker's other products.
  PanelView& aboutPage = page(f.TabSheet3);
  HWND about = aboutPage.hwnd();
  linkLabel(f.Label11, about, 8, 8);
  auto& otherProducts = attach<MemoView>(f.mavMemo2, IdOf(f.mavMemo2), IdOf(f.mavMemo2),
                                         At(about, 8, 28, 520, pageHeight - 36), font, true);
  whitePanes_.push_back(otherProducts.hwnd());
  pages.setPage(0, settingsPage);
  pages.setPage(2, aboutPage);
  pages.select(0);

  attach<StatusBarView>(f.StatusBar1, IdOf(f.StatusBar1), f.StatusBar1, IdOf(f.StatusBar1), self, font);

  // The second folder, under the backup folder.
  fieldLabel(f.Label12, 5);
  attach<ButtonEditView>(f.mavBEdit3, IdOf(f.mavBEdit3), f.mavBEdit3, IdOf(f.mavBEdit3),
                         At(sheet, kEditX, rowY(5), 206, kHeight), font);
  // Making up missed backups, under the cleanup.
  attach<CheckView>(f.dxCheckEdit6, IdOf(f.dxCheckEdit6), f.dxCheckEdit6, IdOf(f.dxCheckEdit6),
                    At(sheet, kCheckX, rowY(5), checkMark + TextWidth(sheet, font, f.dxCheckEdit6.caption()) + 4,
                       kHeight),
                    font);

  // The options page, between the settings and the maker's page. Two columns
  // with a rule between them: on the left what proves the backups (the
  // verification, the restore test's plan), on the right what keeps the
  // transaction log from growing (its backup, the simple recovery model); under
  // them, across the page, the ping addresses. Every width follows the font and
  // the system's metrics as measured, and every explanation takes as many lines
  // as its column's width makes, so that the page holds its texts whatever the
  // face and the DPI; the window keeps its size.
  PanelView& optionsPage = page(f.TabSheet2);
  HWND options = optionsPage.hwnd();
  constexpr int kMargin = 8, kTopMargin = 6, kGap = 6, kLineHeight = 14;
  // The space above and below a rule; between the columns, on each side of theirs.
  constexpr int kRuleGap = 4, kColumnGap = 8;
  auto explanation = [&](form::Label& model, int x, int y, int width) {
    const int height = WrappedTextHeight(options, font, model.caption(), width);
    attach<LabelView>(model, IdOf(model), model, IdOf(model), At(options, x, y, width, height), font);
    return height;
  };
  auto checkBox = [&](form::TdxCheckEdit& model, int x, int y) {
    attach<CheckView>(model, IdOf(model), model, IdOf(model),
                      At(options, x, y, checkMark + TextWidth(options, font, model.caption()) + 4, kHeight), font);
  };

  // A pick list is as wide as its widest item beside the drop-down button,
  // which is as wide as a scroll bar. The three, under their caption, are the
  // widest row of the left column and set its width.
  const int arrowWidth = GetSystemMetrics(SM_CXVSCROLL);
  form::TdxPickEdit* const picks[] = {&f.dxPickEdit1, &f.dxPickEdit2, &f.dxPickEdit3};
  int pickWidths[std::size(picks)] = {};
  int leftWidth = checkMark + TextWidth(options, font, f.dxCheckEdit7.caption()) + 4;
  {
    int row = -kGap;
    for (size_t i = 0; i < std::size(picks); ++i) {
      int widest = 0;
      for (const std::string& item : picks[i]->items()) widest = std::max(widest, TextWidth(options, font, item));
      pickWidths[i] = widest + arrowWidth + 12;
      row += kGap + pickWidths[i];
    }
    leftWidth = std::max(leftWidth, row);
  }

  int y = kTopMargin;
  checkBox(f.dxCheckEdit7, kMargin, y);
  y += kHeight;
  // An explanation starts under its check box's caption, not its mark.
  y += explanation(f.Label13, kMargin + checkMark, y, leftWidth - checkMark);
  y += kRuleGap;
  attach<BevelView>(f.Bevel3, IdOf(f.Bevel3), IdOf(f.Bevel3), At(options, kMargin, y, leftWidth, 2));
  y += 2 + kRuleGap;
  label(f.Label14, options, kMargin, y, TextWidth(options, font, f.Label14.caption()) + 2);
  y += kLineHeight + 2;
  {
    // Each list drops down to show about a dozen items.
    int pickX = kMargin;
    int pickHeight = kHeight;
    for (size_t i = 0; i < std::size(picks); ++i) {
      form::TdxPickEdit& pick = *picks[i];
      auto& view = attach<PickView>(pick, IdOf(pick), pick, IdOf(pick), At(options, pickX, y, pickWidths[i], 200), font);
      RECT field;
      GetWindowRect(view.hwnd(), &field);
      pickHeight = std::max(pickHeight, static_cast<int>(field.bottom - field.top));
      pickX += pickWidths[i] + kGap;
    }
    y += pickHeight + 2;
  }
  y += explanation(f.Label15, kMargin, y, leftWidth);
  const int leftBottom = y;

  // The right column, after a rule between the two.
  const int ruleX = kMargin + leftWidth + kColumnGap;
  const int rightX = ruleX + 2 + kColumnGap;
  const int rightWidth = pageWidth - kMargin - rightX;
  y = kTopMargin;
  checkBox(f.dxCheckEdit8, rightX, y);
  y += kHeight;
  y += explanation(f.Label19, rightX + checkMark, y, rightWidth - checkMark);
  // The two ways of keeping the log small, set apart as the left column's
  // blocks are, without a rule between them.
  y += kRuleGap + 2 + kRuleGap;
  button(f.SpeedButton5, options, rightX, y, TextWidth(options, font, f.SpeedButton5.caption()) + 16, kHeight);
  y += kHeight + 4;
  y += explanation(f.Label20, rightX, y, rightWidth);
  y = std::max(y, leftBottom);
  attach<BevelView>(f.Bevel5, IdOf(f.Bevel5), IdOf(f.Bevel5), At(options, ruleX, kTopMargin, 2, y - kTopMargin));

  // Under a rule across the page, the two ping addresses, each a row as on
  // the settings page: its caption, the field as wide as the page leaves, its
  // test button. The fields are plain edits: the user reads back what was
  // pasted; the tokens in them are protected where they are stored.
  y += kRuleGap;
  attach<BevelView>(f.Bevel4, IdOf(f.Bevel4), IdOf(f.Bevel4), At(options, kMargin, y, pageWidth - 2 * kMargin, 2));
  y += 2 + kRuleGap;
  const int addressLabelWidth = std::max(TextWidth(options, font, f.Label16.caption()),
                                         TextWidth(options, font, f.Label17.caption())) + 2;
  const int testWidth = std::max(40, std::max(TextWidth(options, font, f.SpeedButton3.caption()),
                                              TextWidth(options, font, f.SpeedButton4.caption())) + 16);
  const int addressX = kMargin + addressLabelWidth + kGap;
  const int addressWidth = pageWidth - kMargin - testWidth - 4 - addressX;
  auto addressRow = [&](form::Label& caption, form::TmEdt& address, form::Button& test) {
    label(caption, options, kMargin, y + 4, addressLabelWidth);
    attach<EditView>(address, IdOf(address), address, IdOf(address), At(options, addressX, y, addressWidth, kHeight),
                     font);
    button(test, options, addressX + addressWidth + 4, y, testWidth, kHeight);
    y += kHeight + 2;
  };
  addressRow(f.Label16, f.mEdt5, f.SpeedButton3);
  addressRow(f.Label17, f.mEdt6, f.SpeedButton4);
  // What is sent.
  explanation(f.Label18, kMargin, y, pageWidth - 2 * kMargin);
  pages.setPage(1, optionsPage);
}

void MainWindow::show() {
  if (!widgetsBuilt()) buildWidgets();
  // A window that went to the tray by minimising is still minimised.
  ShowWindow(hwnd(), IsIconic(hwnd()) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(hwnd());
}

void MainWindow::hide() { ShowWindow(hwnd(), SW_HIDE); }

void MainWindow::requestClose() { PostMessageW(hwnd(), WM_CLOSE, 0, 0); }

void MainWindow::focus(const form::Control& control) {
  if (HWND widget = controlWindow(control.name())) SetFocus(widget);
}

HWND MainWindow::controlWindow(const std::string& name) const {
  const int id = form::FrmMainControlId(name);
  if (id == 0) return nullptr;
  struct Search {
    int id;
    HWND found;
  } search{id, nullptr};
  EnumChildWindows(
      hwnd(),
      [](HWND child, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        if (GetDlgCtrlID(child) != s->id) return TRUE;
        s->found = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

int MainWindow::ShowMessageCode(std::int32_t code, const std::string& text) {
  return ui::ShowMessageCode(messageBox, hwnd(), code, text);
}

bool MainWindow::isLink(HWND hwnd) const { return std::find(links_.begin(), links_.end(), hwnd) != links_.end(); }

void MainWindow::showTrayMenu(POINT screenPoint) {
  // Without the foreground the menu would not close when the user clicks
  // elsewhere.
  SetForegroundWindow(hwnd());
  if (form_.PopupMenu1.onPopup) form_.PopupMenu1.onPopup();
  PopupMenuAt(form_.PopupMenu1, hwnd(), screenPoint);
}

void MainWindow::drawPicture(HDC dc, const RECT& rc) const {
  // A database drum with a clock face: scheduled backups of a database.
  const int w = rc.right - rc.left;
  const int left = rc.left + 4, right = rc.left + w * 5 / 8, top = rc.top + 6, bottom = rc.bottom - 6;
  const int lid = (right - left) / 3;
  UniqueBrush body(CreateSolidBrush(RGB(58, 110, 190)));
  UniqueBrush topFace(CreateSolidBrush(RGB(120, 165, 230)));
  UniqueBrush face(CreateSolidBrush(kWhite));
  UniquePen outline(CreatePen(PS_SOLID, 1, RGB(30, 60, 120)));
  HGDIOBJ oldPen = SelectObject(dc, outline.get());
  HGDIOBJ oldBrush = SelectObject(dc, body.get());
  Rectangle(dc, left, top + lid / 2, right, bottom - lid / 2);
  Ellipse(dc, left, bottom - lid, right, bottom);
  // Cover the inner line of the lower ellipse with the body colour.
  SelectObject(dc, GetStockObject(NULL_PEN));
  Rectangle(dc, left + 1, top + lid / 2, right, bottom - lid / 2 + 1);
  SelectObject(dc, outline.get());
  for (int band = 1; band <= 2; ++band) {
    const int y = top + lid / 2 + (bottom - top - lid) * band / 3;
    Arc(dc, left, y - lid / 2, right, y + lid / 2, left, y, right, y);
  }
  SelectObject(dc, topFace.get());
  Ellipse(dc, left, top, right, top + lid);
  // The clock, overlapping the drum's lower right.
  const int r = w / 4;
  const int cx = rc.right - r - 3, cy = rc.bottom - r - 3;
  SelectObject(dc, face.get());
  Ellipse(dc, cx - r, cy - r, cx + r, cy + r);
  MoveToEx(dc, cx, cy, nullptr);
  LineTo(dc, cx, cy - r + 4);
  MoveToEx(dc, cx, cy, nullptr);
  LineTo(dc, cx + r - 5, cy);
  // The objects go back before their owners delete them.
  SelectObject(dc, oldBrush);
  SelectObject(dc, oldPen);
}

LRESULT MainWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (lParam == 0 && HIWORD(wParam) == 0) {  // a menu item
        for (form::MenuItem* item : form_.PopupMenu1.items) {
          if (form::FrmMainControlId(item->name()) == id && item->onClick) item->onClick();
        }
        return 0;
      }
      if (auto it = widgets_.find(id); it != widgets_.end()) it->second->command(id, HIWORD(wParam));
      return 0;
    }
    case WM_NOTIFY: {
      const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
      if (auto it = widgets_.find(static_cast<int>(header.idFrom)); it != widgets_.end())
        return it->second->notify(header);
      break;
    }
    case WM_TIMER:
      if (timer_ && static_cast<int>(wParam) == timer_->id()) {
        if (form_.Timer1.onTimer) form_.Timer1.onTimer();
        return 0;
      }
      if (timer2_ && static_cast<int>(wParam) == timer2_->id()) {
        if (form_.Timer2.onTimer) form_.Timer2.onTimer();
        return 0;
      }
      break;
    case WM_POWERBROADCAST:
      // Sent for every resume, whether or not a user is at the computer.
      if (wParam == PBT_APMRESUMEAUTOMATIC && form_.onPowerResume) form_.onPowerResume();
      return TRUE;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      HWND control = reinterpret_cast<HWND>(lParam);
      if (isLink(control)) SetTextColor(dc, kLinkBlue);
      // The header is white; so are the read-only text panes.
      if (GetParent(control) == header_ ||
          std::find(whitePanes_.begin(), whitePanes_.end(), control) != whitePanes_.end()) {
        SetBkColor(dc, kWhite);
        return reinterpret_cast<LRESULT>(white_.get());
      }
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_SETCURSOR:
      if (isLink(reinterpret_cast<HWND>(wParam))) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
      }
      break;
    case WM_SHOWWINDOW:
      if (wParam) {
        // Whoever shows the window, it has its widgets before it appears.
        if (!widgetsBuilt()) buildWidgets();
        if (form_.onShow) form_.onShow();
      }
      break;
    case WM_SYSCOMMAND:
      if (form_.onSysCommand && form_.onSysCommand(static_cast<unsigned>(wParam))) return 0;
      break;
    case WM_SIZE:
      // Minimise-to-tray: a minimised window leaves the screen and the taskbar
      // and the icon takes its place.
      if (wParam == SIZE_MINIMIZED && form_.rmTrayIcon1.minimizeToTray) {
        ShowWindow(hwnd(), SW_HIDE);
        form_.rmTrayIcon1.setVisible(true);
        return 0;
      }
      break;
    case WM_CLOSE:
      if (!form_.onCloseQuery || form_.onCloseQuery()) DestroyWindow(hwnd());
      return 0;
    case WM_DESTROY:
      form_.rmTrayIcon1.setVisible(false);
      form_.Timer1.setEnabled(false);
      form_.Timer2.setEnabled(false);
      if (onDestroyed) onDestroyed();
      return 0;
    default:
      if (message == kTrayMessage && tray_) {
        const bool v4 = tray_->versionFour();
        const UINT event = v4 ? LOWORD(lParam) : static_cast<UINT>(lParam);
        if (v4 && event == WM_CONTEXTMENU) {
          showTrayMenu(POINT{GET_X_LPARAM(wParam), GET_Y_LPARAM(wParam)});
        } else if (!v4 && event == WM_RBUTTONUP) {
          POINT at;
          GetCursorPos(&at);
          showTrayMenu(at);
        } else if (event == WM_LBUTTONDBLCLK) {
          // A double click on the icon opens the settings, as "设置界面" does.
          if (form_.N1.onClick) form_.N1.onClick();
        }
        return 0;
      }
      if (message == showSettings_ && showSettings_ != 0) {
        SetForegroundWindow(hwnd());
        if (form_.N1.onClick) form_.N1.onClick();
        return 0;
      }
      if (message == taskbarCreated_ && taskbarCreated_ != 0 && tray_) {
        tray_->reAdd();
        return 0;
      }
      break;
  }
  return defaultHandling(message, wParam, lParam);
}

}  // namespace bakwyn::ui
