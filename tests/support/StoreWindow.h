#pragma once
// The settings window's model as the store tests use it: any stored control by
// its key name, and every control's state in one text, to compare whole windows.
#include <sstream>
#include <string>
#include <vector>

#include "form/SettingsForm.h"

namespace bakwyn::testing {

// The controls the store keeps, in the order it walks them.
inline const std::vector<std::string>& StoredControlNames() {
  static const std::vector<std::string> names = {
      "mavTree1",     "mEdt2",        "mEdt3",        "mEdt4",        "mavBEdit2",    "dxCheckEdit1",
      "dxTimeEdit1",  "dxCheckEdit2", "dxTimeEdit2",  "dxCheckEdit3", "dxTimeEdit3",  "dxCheckEdit4",
      "dxTimeEdit4",  "mEdt1",        "dxCheckEdit5", "mavSpinEdit1"};
  return names;
}

class StoreWindow : public form::SettingsForm {
 public:
  using form::SettingsForm::SettingsForm;

  // A stored control by its key name, as the registry names it.
  template <typename T>
  T& get(const std::string& name) {
    return dynamic_cast<T&>(*find(name));
  }

  std::string snapshot() const {
    using namespace bakwyn::form;
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
