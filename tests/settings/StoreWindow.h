#pragma once
// A window with the sixteen stored controls of the settings window in their
// creation order, among a few components the store must pass over, wired as
// the program wires them: each backup-time check box enables its time editor,
// the cleanup check box enables the day count.
#include <sstream>
#include <string>
#include <vector>

#include "ui/Controls.h"

namespace bakwyn::testing {

inline const std::vector<std::string>& StoredControlNames() {
  static const std::vector<std::string> names = {
      "mavTree1",     "mEdt2",        "mEdt3",        "mEdt4",        "mavBEdit2",    "dxCheckEdit1",
      "dxTimeEdit1",  "dxCheckEdit2", "dxTimeEdit2",  "dxCheckEdit3", "dxTimeEdit3",  "dxCheckEdit4",
      "dxTimeEdit4",  "mEdt1",        "dxCheckEdit5", "mavSpinEdit1"};
  return names;
}

// A multi-line control: a Control, but none of the stored kinds.
class TestMemo : public ui::Control {
 public:
  using ui::Control::Control;
  std::string text;
};

class StoreWindow : public ui::ComponentOwner {
 public:
  explicit StoreWindow(std::string name = "FrmMain") : ui::ComponentOwner(std::move(name)) {
    using namespace bakwyn::ui;
    add<Component>("Label1");
    add<TestMemo>("mavMemo1");
    auto& tree = add<TmavTree>("mavTree1");
    tree.columns().push_back(TreeColumn{"数据库名称", 57, 10});
    tree.rowSelect = true;
    add<TmEdt>("mEdt2").setEnabled(false);
    add<TmEdt>("mEdt3");
    add<TmEdt>("mEdt4").setPassword(true);
    add<TmavBEdit>("mavBEdit2");
    for (int i = 1; i <= 4; ++i) {
      auto& check = add<TdxCheckEdit>("dxCheckEdit" + std::to_string(i));
      // The paired editor's name ends in the check box's digit, its 12th character.
      check.onChange = [this](TdxCheckEdit& sender) {
        if (auto* editor = dynamic_cast<Control*>(find("dxTimeEdit" + sender.name().substr(11, 1)))) {
          editor->setEnabled(sender.checked());
        }
      };
      add<TmavTimeEdit>("dxTimeEdit" + std::to_string(i)).setEnabled(false);
    }
    add<TmavPopEdit>("mEdt1");
    add<TdxCheckEdit>("dxCheckEdit5").onChange = [this](TdxCheckEdit& sender) {
      get<TmavSpinEdit>("mavSpinEdit1").setEnabled(sender.checked());
    };
    auto& spin = add<TmavSpinEdit>("mavSpinEdit1");
    spin.setRange(1, 999999);
    spin.setValue(3);
    spin.setEnabled(false);
    add<Control>("BitBtn1");
    add<Component>("StatusBar1");
  }

  template <typename T>
  T& get(const std::string& name) {
    return dynamic_cast<T&>(*find(name));
  }

  // Every control's state in one text, to compare whole windows.
  std::string snapshot() const {
    using namespace bakwyn::ui;
    std::ostringstream out;
    for (const auto& component : components()) {
      out << component->name();
      if (auto* c = dynamic_cast<const Control*>(component.get())) out << (c->enabled() ? " on" : " off");
      if (auto* t = dynamic_cast<const TdxInplaceTextEdit*>(component.get())) out << " text=[" << t->text() << "]";
      if (auto* s = dynamic_cast<const TdxSpinEdit*>(component.get())) out << " value=" << s->value();
      if (auto* k = dynamic_cast<const TdxCheckEdit*>(component.get())) out << (k->checked() ? " checked" : " unchecked");
      if (auto* l = dynamic_cast<const TdxTreeList*>(component.get())) {
        for (const auto& column : l->columns()) out << " width=" << column.width;
      }
      out << "\n";
    }
    return out.str();
  }
};

}  // namespace bakwyn::testing
