#pragma once
// Owners for the Win32 handles of the user interface, in the shape of
// base/UniqueAny.h. Child windows are not owned this way: a parent destroys its
// children, so only top-level and pop-up windows get a UniqueWindow.
#include <windows.h>

#include "base/UniqueAny.h"

namespace bakwyn::ui {

struct WindowTraits {
  using type = HWND;
  static type invalid() { return nullptr; }
  static void close(type h) { DestroyWindow(h); }
};
// Fonts, brushes and pens are all GDI objects, released alike.
template <typename Handle>
struct GdiObjectTraits {
  using type = Handle;
  static type invalid() { return nullptr; }
  static void close(type h) { DeleteObject(h); }
};
struct IconTraits {
  using type = HICON;
  static type invalid() { return nullptr; }
  static void close(type h) { DestroyIcon(h); }
};
struct MenuTraits {
  using type = HMENU;
  static type invalid() { return nullptr; }
  static void close(type h) { DestroyMenu(h); }
};

using UniqueWindow = UniqueAny<WindowTraits>;
using UniqueFont = UniqueAny<GdiObjectTraits<HFONT>>;
using UniqueBrush = UniqueAny<GdiObjectTraits<HBRUSH>>;
using UniquePen = UniqueAny<GdiObjectTraits<HPEN>>;
using UniqueIcon = UniqueAny<IconTraits>;
using UniqueMenu = UniqueAny<MenuTraits>;

}  // namespace bakwyn::ui
