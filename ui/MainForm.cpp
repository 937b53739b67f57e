#include "ui/MainForm.h"

#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/Text.h"
#include "ui/FrmMainIds.h"

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


int IdOf(std::string_view name) {
  const int id = FrmMainControlId(name);
  // A name missing from the table would give every such control ID 0 and make
  // it unreachable for the dispatch and for the driver.
  if (id == 0) std::abort();
  return id;
}

WidgetArgs At(HWND parent, int x, int y, int width, int height, std::string text = {}, DWORD style = 0) {
  WidgetArgs a;
  a.parent = parent;
  a.x = x, a.y = y, a.width = width, a.height = height;
  a.text = std::move(text);
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

}  // namespace

std::string LogStamp(const LocalDateTime& t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "[%02d-%02d-%02d %02d:%02d:%02d]: ", t.year % 100, t.month, t.day, t.hour,
                t.minute, t.second);
  return buffer;
}

MainForm::MainForm(const Clock& clock)
    : clock_(clock), owner_("FrmMain"), white_(CreateSolidBrush(kWhite)),
      taskbarCreated_(RegisterWindowMessageW(L"TaskbarCreated")),
      showSettings_(RegisterWindowMessageW(kShowSettingsMessage)) {
  // The Chinese interface's fixed-pitch Song face at 12 pixels.
  LOGFONTW lf{};
  lf.lfHeight = -12;
  lf.lfCharSet = GB2312_CHARSET;
  lf.lfQuality = DEFAULT_QUALITY;
  wcscpy_s(lf.lfFaceName, L"\u65B0\u5B8B\u4F53");  // 新宋体
  font_.reset(CreateFontIndirectW(&lf));
  lf.lfUnderline = TRUE;
  linkFont_.reset(CreateFontIndirectW(&lf));

  // A fixed single border with a caption, the minimise box declared but no
  // system menu, hence no close box: leaving goes through the exit button.
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  CreateArgs args;
  args.className = L"TFrmMain";
  args.title = kFrmMainCaption;
  args.style = style;
  args.x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  args.y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  args.width = width;
  args.height = height;
  if (!create(args)) std::abort();
  SendMessageW(hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  // An instance with administrator rights must still hear the shell's
  // "TaskbarCreated" (its tray icon comes back after Explorer restarts) and a
  // second start's request to show the settings, both sent by processes
  // without those rights.
  for (UINT message : {taskbarCreated_, showSettings_}) {
    if (message != 0) ChangeWindowMessageFilterEx(hwnd(), message, MSGFLT_ALLOW, nullptr);
  }
  createControls();
}

MainForm::~MainForm() {
  rmTrayIcon1->setVisible(false);
  Timer1->setEnabled(false);
  destroy();
}

template <typename View>
View& MainForm::attachView(Control& model, int id, std::unique_ptr<View> view) {
  View& ref = *view;
  // Both windows of a two-window control report to the same view.
  widgets_[id] = &ref;
  widgets_[id + kPartIdOffset] = &ref;
  model.attach(&ref);
  views_.push_back(std::move(view));
  return ref;
}

template <typename View, typename Model, typename... Rest>
Model& MainForm::makeControl(std::string_view name, const WidgetArgs& args, Rest&&... rest) {
  Model& model = owner_.add<Model>(std::string(name));
  const int id = IdOf(name);
  attachView(model, id, std::make_unique<View>(model, id, args, font_.get(), std::forward<Rest>(rest)...));
  return model;
}

TdxCheckEdit& MainForm::makeCheckBox(const std::string& name, const std::string& caption, const WidgetArgs& args) {
  TdxCheckEdit& check = owner_.add<TdxCheckEdit>(name);
  check.setCaption(caption);  // the widget is created with it
  const int id = IdOf(name);
  attachView(check, id, std::make_unique<CheckView>(check, id, args, font_.get()));
  return check;
}

void MainForm::createControls() {
  HWND self = hwnd();
  HFONT font = font_.get();
  // Header strip: white, with the picture on the right.
  Panel1 = &owner_.add<Panel>("Panel1", IdOf("Panel1"), At(self, 0, 0, kClientWidth, kHeaderHeight), kWhite);
  HWND header = Panel1->hwnd();
  Image1 = &owner_.add<Panel>("Image1", IdOf("Image1"), At(header, kClientWidth - 78, 4, 70, 57), kWhite);
  Image1->onPaint = [this](HDC dc, const RECT& rc) { drawPicture(dc, rc); };
  Label1 = &owner_.add<Label>("Label1", IdOf("Label1"), At(header, 12, 8, 300, 14, "版本号: 1.00版"), font);
  Label2 = &owner_.add<Label>("Label2", IdOf("Label2"),
                              At(header, 12, 26, 460, 14, "本程序为免费软件,欢迎自由复制和传播。"), font);
  Label3 = &owner_.add<Label>("Label3", IdOf("Label3"), At(header, 12, 44, 90, 14, "Vorda软件主页:"), font);
  const int linkX = 12 + TextWidth(header, font, "Vorda软件主页:") + 4;
  Label10 = &owner_.add<LinkLabel>("Label10", IdOf("Label10"),
                                   At(header, linkX, 44, TextWidth(header, linkFont_.get(), kMakerWebAddress) + 2,
                                      14, kMakerWebAddress),
                                   linkFont_.get());
  Label10->onClick = [this](LinkLabel& sender) { Label10Click(sender); };
  widgets_[IdOf("Label10")] = Label10;
  Bevel1 = &owner_.add<Bevel>("Bevel1", IdOf("Bevel1"), At(self, 0, kHeaderHeight, kClientWidth, 2));

  // The status bar's height decides the main area's; it is created last (its
  // place in the creation order) but measured here from the font.
  const int statusHeight = 20;
  const int mainTop = kHeaderHeight + 2;
  const int mainHeight = kClientHeight - statusHeight - mainTop;

  // Button column on the right.
  Panel2 = &owner_.add<Panel>("Panel2", IdOf("Panel2"),
                              At(self, kClientWidth - kButtonColumnWidth, mainTop, kButtonColumnWidth, mainHeight),
                              GetSysColor(COLOR_BTNFACE));
  HWND column = Panel2->hwnd();
  auto button = [&](Button*& slot, const char* name, int y, const char* caption, void (MainForm::*handler)()) {
    slot = &owner_.add<Button>(name, IdOf(name), At(column, 6, y, 73, 25, caption), font);
    slot->onClick = [this, handler] { (this->*handler)(); };
    widgets_[IdOf(name)] = slot;
  };
  button(BitBtn1, "BitBtn1", 12, "保存", &MainForm::BitBtn1Click);
  button(BitBtn3, "BitBtn3", 44, "伺服运行", &MainForm::BitBtn3Click);
  button(BitBtn2, "BitBtn2", mainHeight - 37, "退出", &MainForm::BitBtn2Click);

  // The page control and its first page.
  PageControl1 = &owner_.add<PageControl>("PageControl1", IdOf("PageControl1"),
                                          At(self, 4, mainTop + 4, kClientWidth - kButtonColumnWidth - 8,
                                             mainHeight - 6),
                                          font);
  widgets_[IdOf("PageControl1")] = PageControl1;
  PageControl1->addTab("数据库的连接设置");
  PageControl1->addTab("关于Vorda的其它产品");
  const RECT pageRect = PageControl1->pageRect();
  const int pageWidth = pageRect.right - pageRect.left;
  const int pageHeight = pageRect.bottom - pageRect.top;
  auto page = [&](const char* name) -> Panel& {
    return owner_.add<Panel>(name, IdOf(name),
                             At(PageControl1->hwnd(), pageRect.left, pageRect.top, pageWidth, pageHeight),
                             GetSysColor(COLOR_BTNFACE));
  };
  TabSheet1 = &page("TabSheet1");
  HWND sheet = TabSheet1->hwnd();
  constexpr int kFieldsHeight = 118;
  mavMemo1 = &owner_.add<Memo>("mavMemo1", IdOf("mavMemo1"),
                               At(sheet, 4, kFieldsHeight, 520, pageHeight - kFieldsHeight - 4), font, true);

  // The drop-down panel of the database field, with the database list: hidden
  // until dropped down, then above everything else in the window.
  WidgetArgs panel7;
  panel7.parent = self;
  panel7.width = 158, panel7.height = 137;
  panel7.style = WS_BORDER | WS_CLIPSIBLINGS;
  Panel7 = &owner_.add<Panel>("Panel7", IdOf("Panel7"), panel7, GetSysColor(COLOR_BTNFACE), false);
  {
    TmavTree& tree = owner_.add<TmavTree>("mavTree1");
    TreeColumn column1;
    column1.caption = "数据库名称";
    column1.minWidth = 10;
    column1.width = 57;
    tree.columns().push_back(column1);
    tree.rowSelect = true;
    RECT inside;
    GetClientRect(Panel7->hwnd(), &inside);
    const int id = IdOf("mavTree1");
    auto& view = attachView(
        tree, id, std::make_unique<TreeListView>(tree, id, At(Panel7->hwnd(), 0, 0, inside.right, inside.bottom), font));
    view.onFocusLost = [this] {
      if (Panel7->onDeactivate) Panel7->onDeactivate();
    };
    tree.onClick = [this](TdxTreeList&) { mavTree1Click(); };
    mavTree1 = &tree;
  }

  // Fields, left column: label, control.
  // Columns follow the labels as the font measures them: face substitution
  // changes the widths of both Latin and Chinese characters.
  constexpr int kLabelX = 6, kRow = 23, kTop = 4, kHeight = 20;
  static constexpr const char* kFieldLabels[] = {"SQL数据库电脑名", "SQL数据库用户名", "数据库密码", "SQL数据库名称",
                                                 "SQL数据库备份目录"};
  int labelWidth = 0;
  for (const char* text : kFieldLabels) labelWidth = std::max(labelWidth, TextWidth(sheet, font, text) + 2);
  const int kEditX = kLabelX + labelWidth + 4;
  const int noteWidth = TextWidth(sheet, font, "[只能本机操作]") + 2;
  auto rowY = [&](int row) { return kTop + row * kRow; };
  auto label = [&](Label*& slot, const char* name, int x, int row, int width, const char* caption) {
    slot = &owner_.add<Label>(name, IdOf(name), At(sheet, x, rowY(row) + 4, width, 14, caption), font);
  };
  label(Label4, "Label4", kLabelX, 0, labelWidth, "SQL数据库电脑名");
  mEdt2 = &makeControl<EditView, TmEdt>("mEdt2", At(sheet, kEditX, rowY(0), 120, kHeight));
  mEdt2->setEnabled(false);  // the server is always this computer
  label(Label5, "Label5", kEditX + 124, 0, noteWidth, "[只能本机操作]");
  label(Label6, "Label6", kLabelX, 1, labelWidth, "SQL数据库用户名");
  mEdt3 = &makeControl<EditView, TmEdt>("mEdt3", At(sheet, kEditX, rowY(1), 120, kHeight));
  label(Label7, "Label7", kLabelX, 2, labelWidth, "数据库密码");
  mEdt4 = &makeControl<EditView, TmEdt>("mEdt4", At(sheet, kEditX, rowY(2), 120, kHeight, {}, ES_PASSWORD));
  mEdt4->setPassword(true);
  label(Label9, "Label9", kLabelX, 4, labelWidth, "SQL数据库备份目录");
  mavBEdit2 = &makeControl<ButtonEditView, TmavBEdit>("mavBEdit2", At(sheet, kEditX, rowY(4), 206, kHeight));
  mavBEdit2->onButtonClick = [this](TdxButtonEdit&) { mavBEdit2ButtonClick(); };

  // Right column, after a vertical rule: four backup times and the cleanup.
  const int checkMark = GetSystemMetrics(SM_CXMENUCHECK) + 4;
  const int kRuleX = std::max(kEditX + 124 + noteWidth, kEditX + 206) + 4;
  const int kCheckX = kRuleX + 8;
  const int kTimeX = kCheckX + checkMark + TextWidth(sheet, font, "备份时间四") + 6;
  Bevel2 = &owner_.add<Bevel>("Bevel2", IdOf("Bevel2"), At(sheet, kRuleX, kTop, 2, 4 * kRow + kHeight));
  static constexpr const char* kSlotCaptions[] = {"备份时间一", "备份时间二", "备份时间三", "备份时间四"};
  for (int i = 0; i < 4; ++i) {
    const std::string checkName = "dxCheckEdit" + std::to_string(i + 1);
    const std::string timeName = "dxTimeEdit" + std::to_string(i + 1);
    TdxCheckEdit& check =
        makeCheckBox(checkName, kSlotCaptions[i], At(sheet, kCheckX, rowY(i), kTimeX - kCheckX - 2, kHeight));
    check.onChange = [this](TdxCheckEdit& sender) { dxCheckEdit1Change(sender); };
    dxCheckEdits[static_cast<size_t>(i)] = &check;
    TmavTimeEdit& time = makeControl<TimeEditView, TmavTimeEdit>(timeName, At(sheet, kTimeX, rowY(i), 48, kHeight));
    time.setMaxLength(5);
    time.setText("00:00");
    time.setEnabled(false);
    dxTimeEdits[static_cast<size_t>(i)] = &time;
  }

  // The database field with its drop-down and the refresh button.
  label(Label8, "Label8", kLabelX, 3, labelWidth, "SQL数据库名称");
  mEdt1 = &makeControl<PopupEditView, TmavPopEdit>("mEdt1", At(sheet, kEditX, rowY(3), 140, kHeight), *Panel7);
  mEdt1->onInitPopup = [this](TdxPopupEdit&) { mEdt1InitPopup(); };
  mEdt1->onPopup = [this](TdxPopupEdit&) { mEdt1Popup(); };
  SpeedButton1 = &owner_.add<Button>("SpeedButton1", IdOf("SpeedButton1"),
                                     At(sheet, kEditX + 144, rowY(3), 40, kHeight, "刷新", BS_FLAT), font);
  SpeedButton1->onClick = [this] { SpeedButton1Click(); };
  widgets_[IdOf("SpeedButton1")] = SpeedButton1;

  // Cleanup: the spin editor sits over the blank gap of the check box's
  // caption, so the line reads "delete backups older than n days".
  {
    // Clipped where the spin editor lies over it, so that the editor stays on top.
    TdxCheckEdit& check = makeCheckBox("dxCheckEdit5", "自动删除      天以前备份",
                                       At(sheet, kCheckX, rowY(4), 167, kHeight, {}, WS_CLIPSIBLINGS));
    check.onChange = [this](TdxCheckEdit& sender) { dxCheckEdit5Change(sender); };
    dxCheckEdits[4] = &check;
  }
  {
    // Where the gap starts: after the check mark and the first word, measured
    // in the font actually used (the blanks' width depends on the face).
    const int gapStart = kCheckX + checkMark + TextWidth(sheet, font, "自动删除");
    const int gapWidth = TextWidth(sheet, font, "      ");
    constexpr int kSpinWidth = 35;
    const int spinX = gapStart + (gapWidth - kSpinWidth) / 2;
    TmavSpinEdit& spin =
        makeControl<SpinEditView, TmavSpinEdit>("mavSpinEdit1", At(sheet, spinX, rowY(4), kSpinWidth, kHeight));
    spin.setRange(1, 999999);
    static_cast<SpinEditView*>(widgets_[IdOf("mavSpinEdit1")])->limitDigits();
    spin.setValue(3);
    spin.setEnabled(false);
    mavSpinEdit1 = &spin;
    // Above the check box, which was created first.
    SetWindowPos(controlWindow("mavSpinEdit1"), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    if (auto* upDown = static_cast<SpinEditView*>(widgets_[IdOf("mavSpinEdit1")])->upDown())
      SetWindowPos(upDown, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  }

  // The second page: the maker's other products.
  TabSheet3 = &page("TabSheet3");
  HWND about = TabSheet3->hwnd();
  Label11 = &owner_.add<LinkLabel>("Label11", IdOf("Label11"),
                                   At(about, 8, 8, TextWidth(about, linkFont_.get(), kMakerWebAddress) + 2, 14,
                                      kMakerWebAddress),
                                   linkFont_.get());
  Label11->onClick = [this](LinkLabel& sender) { Label10Click(sender); };
  widgets_[IdOf("Label11")] = Label11;
  mavMemo2 = &owner_.add<Memo>("mavMemo2", IdOf("mavMemo2"), At(about, 8, 28, 520, pageHeight - 36), font, true);
  SetWindowTextUtf8(mavMemo2->hwnd(),
                    "Vorda还编写了其它一些小工具软件,都可以免费使用。\r\n"
                    "它们的说明和下载地址请见上面的网址。");
  PageControl1->setPage(0, *TabSheet1);
  PageControl1->setPage(1, *TabSheet3);
  PageControl1->select(0);

  StatusBar1 = &owner_.add<StatusBar>("StatusBar1", IdOf("StatusBar1"), self, std::vector<int>{250, 50}, font);

  // Non-visual members.
  PopupMenu1 = &owner_.add<PopupMenu>("PopupMenu1");
  auto item = [&](MenuItem*& slot, const char* name, const char* caption, void (MainForm::*handler)()) {
    slot = &owner_.add<MenuItem>(name, IdOf(name), caption);
    if (handler) slot->onClick = [this, handler] { (this->*handler)(); };
    PopupMenu1->add(*slot);
  };
  item(N4, "N4", "访问Vorda软件网站", &MainForm::N4Click);
  item(N3, "N3", "-", nullptr);
  item(N1, "N1", "设置界面", &MainForm::N1Click);
  item(N2, "N2", "中止退出", &MainForm::N2Click);
  rmTrayIcon1 = &owner_.add<TrayIconComponent>("rmTrayIcon1", self, kTrayIconId, kTrayMessage,
                                               LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1)), kFrmMainCaption);
  rmTrayIcon1->minimizeToTray = true;
  rmTrayIcon1->setVisible(true);
  Timer1 = &owner_.add<Timer>("Timer1", self, IdOf("Timer1"), 100u);
  Timer1->onTimer = [this] { Timer1Timer(); };
  ActionList1 = &owner_.add<Component>("ActionList1");
  Bak = &owner_.add<Action>("Bak");
  Bak->onExecute = [this] { BakExecute(); };
  Action1 = &owner_.add<Action>("Action1");
  Action1->onExecute = [this] { Action1Execute(); };
  deleteoldfile = &owner_.add<Action>("deleteoldfile");
  deleteoldfile->onExecute = [this] { deleteoldfileExecute(); };
  adoConn = &owner_.add<Component>("adoConn");
  qryTemp = &owner_.add<Component>("qryTemp");
}

HWND MainForm::controlWindow(const std::string& name) const {
  const int id = FrmMainControlId(name);
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

void MainForm::AppendLog(const std::string& text) {
  mavMemo1->addLine(LogStamp(clock_.now()) + text);
  if (!IsWindowVisible(hwnd())) return;
  HWND pane = mavMemo1->hwnd();
  // The view follows the newest line without taking the keyboard focus: a
  // scheduled backup while the user types must not send the keys to the log.
  // (Any message to the pane first writes out the pending lines.)
  SendMessageW(pane, EM_SCROLLCARET, 0, 0);
  InvalidateRect(pane, nullptr, TRUE);
  UpdateWindow(pane);
}

void MainForm::AddLogLine(const std::string& text) { mavMemo1->addLine(text); }

void MainForm::ClearLog() { mavMemo1->clear(); }

int MainForm::ShowMessageCode(std::int32_t code, const std::string& text) {
  return ui::ShowMessageCode(messageBox, hwnd(), code, text);
}

bool MainForm::isLink(HWND hwnd) const {
  return (Label10 && hwnd == Label10->hwnd()) || (Label11 && hwnd == Label11->hwnd());
}

void MainForm::showTrayMenu(POINT screenPoint) {
  // Without the foreground the menu would not close when the user clicks
  // elsewhere.
  SetForegroundWindow(hwnd());
  PopupMenu1->popup(hwnd(), screenPoint);
}

void MainForm::drawPicture(HDC dc, const RECT& rc) const {
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

LRESULT MainForm::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (lParam == 0 && HIWORD(wParam) == 0) {  // a menu item
        if (MenuItem* item = PopupMenu1 ? PopupMenu1->itemById(id) : nullptr; item && item->onClick) item->onClick();
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
      if (Timer1 && static_cast<int>(wParam) == Timer1->id()) {
        if (Timer1->onTimer) Timer1->onTimer();
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      HWND control = reinterpret_cast<HWND>(lParam);
      if (isLink(control)) SetTextColor(dc, kLinkBlue);
      // The header is white; so are the read-only text panes.
      if (GetParent(control) == Panel1->hwnd() ||
          (mavMemo1 && control == mavMemo1->hwnd()) || (mavMemo2 && control == mavMemo2->hwnd())) {
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
      if (wParam) FormShow();
      break;
    case WM_SYSCOMMAND:
      if (WMSysCommand(wParam)) return 0;
      break;
    case WM_SIZE:
      // Minimise-to-tray: a minimised window leaves the screen and the taskbar
      // and the icon takes its place.
      if (wParam == SIZE_MINIMIZED && rmTrayIcon1 && rmTrayIcon1->minimizeToTray) {
        ShowWindow(hwnd(), SW_HIDE);
        rmTrayIcon1->setVisible(true);
        return 0;
      }
      break;
    case WM_CLOSE:
      if (FormCloseQuery()) DestroyWindow(hwnd());
      return 0;
    case WM_DESTROY:
      rmTrayIcon1->setVisible(false);
      Timer1->setEnabled(false);
      FormDestroy();
      return 0;
    default:
      if (message == kTrayMessage && rmTrayIcon1) {
        const bool v4 = rmTrayIcon1->versionFour();
        const UINT event = v4 ? LOWORD(lParam) : static_cast<UINT>(lParam);
        if (v4 && event == WM_CONTEXTMENU) {
          showTrayMenu(POINT{GET_X_LPARAM(wParam), GET_Y_LPARAM(wParam)});
        } else if (!v4 && event == WM_RBUTTONUP) {
          POINT at;
          GetCursorPos(&at);
          showTrayMenu(at);
        } else if (event == WM_LBUTTONDBLCLK) {
          // A double click on the icon opens the settings, as "设置界面" does.
          N1Click();
        }
        return 0;
      }
      if (message == showSettings_ && showSettings_ != 0) {
        SetForegroundWindow(hwnd());
        N1Click();
        return 0;
      }
      if (message == taskbarCreated_ && taskbarCreated_ != 0 && rmTrayIcon1) {
        rmTrayIcon1->reAdd();
        return 0;
      }
      break;
  }
  return defaultHandling(message, wParam, lParam);
}

}  // namespace bakwyn::ui
