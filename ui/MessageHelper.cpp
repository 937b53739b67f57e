#include "ui/MessageHelper.h"

#include "base/Text.h"

namespace bakwyn::ui {

MessageBoxFunction SystemMessageBox() {
  return [](HWND owner, const std::string& text, const std::string& caption, UINT style) {
    const std::u16string wideText = Utf8ToUtf16(text);
    const std::u16string wideCaption = Utf8ToUtf16(caption);
    return MessageBoxW(owner, reinterpret_cast<const wchar_t*>(wideText.c_str()),
                       reinterpret_cast<const wchar_t*>(wideCaption.c_str()), style);
  };
}

std::optional<MessageCode> FindMessageCode(std::int32_t code) {
  switch (code) {
    case 0: return MessageCode{"数据存储失败,请再试一次!", MB_OK | MB_ICONSTOP, false};
    case 1: return MessageCode{nullptr, MB_OK | MB_ICONSTOP, false};
    case 2: return MessageCode{nullptr, MB_OK | MB_ICONINFORMATION, false};
    case 3: return MessageCode{"数据还没有保存,确信要退出吗?", MB_YESNO | MB_ICONINFORMATION, true};
    case 4: return MessageCode{"数据还没有保存,确信要放弃吗?", MB_YESNO | MB_ICONQUESTION, true};
    case 5: return MessageCode{"数据删除失败,请再试一次!", MB_OK | MB_ICONSTOP, false};
    case 6: return MessageCode{"数据查询失败,请再试一次!\r注:请尽量增加查询条件!", MB_OK | MB_ICONSTOP, false};
    case 7: return MessageCode{"没有找到符合条件的记录!", MB_OK | MB_ICONINFORMATION, false};
    case 31: return MessageCode{nullptr, MB_YESNO | MB_ICONQUESTION, true};
    case 32: return MessageCode{nullptr, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, true};
    case 33: return MessageCode{nullptr, MB_OKCANCEL | MB_ICONQUESTION, true};
    case 34: return MessageCode{nullptr, MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2, true};
    default: return std::nullopt;
  }
}

int ShowMessageCode(const MessageBoxFunction& box, HWND owner, std::int32_t code, const std::string& text) {
  const std::optional<MessageCode> row = FindMessageCode(code);
  if (!row) return -1;
  const int pressed = box(owner, row->fixedText ? std::string(row->fixedText) : text, kMessageCaption, row->style);
  return row->offersChoice ? pressed : -1;
}

}  // namespace bakwyn::ui
