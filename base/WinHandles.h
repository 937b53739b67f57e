#pragma once
// Owners for the Win32 handles, in the shape of base/UniqueAny.h: one place for
// the traits of every kind the program holds. Child windows are not owned this
// way: a parent destroys its children, so only top-level and pop-up windows get
// a UniqueWindow.
#include <windows.h>

#include "base/UniqueAny.h"

namespace bakwyn {

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

// Kernel objects (mutexes, events, processes, tokens): CloseHandle.
struct KernelHandleTraits {
  using type = HANDLE;
  static type invalid() { return nullptr; }
  static void close(type h) { CloseHandle(h); }
};
// A file of CreateFileW, which reports failure as INVALID_HANDLE_VALUE.
struct FileTraits {
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type h) { CloseHandle(h); }
};
// A directory search of FindFirstFileExW.
struct FindTraits {
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type h) { FindClose(h); }
};
struct HkeyTraits {
  using type = HKEY;
  static type invalid() { return nullptr; }
  static void close(type key) { RegCloseKey(key); }
};
struct ModuleTraits {
  using type = HMODULE;
  static type invalid() { return nullptr; }
  static void close(type module) { FreeLibrary(module); }
};
// The service control manager and its services.
struct ServiceHandleTraits {
  using type = SC_HANDLE;
  static type invalid() { return nullptr; }
  static void close(type h) { CloseServiceHandle(h); }
};
template <typename Pointer>
struct LocalMemoryTraits {
  using type = Pointer;
  static type invalid() { return nullptr; }
  static void close(type memory) { LocalFree(memory); }
};

using UniqueWindow = UniqueAny<WindowTraits>;
using UniqueKernelHandle = UniqueAny<KernelHandleTraits>;
using UniqueFile = UniqueAny<FileTraits>;
using UniqueFind = UniqueAny<FindTraits>;
using UniqueHkey = UniqueAny<HkeyTraits>;
using UniqueModule = UniqueAny<ModuleTraits>;
using UniqueFont = UniqueAny<GdiObjectTraits<HFONT>>;
using UniqueBrush = UniqueAny<GdiObjectTraits<HBRUSH>>;
using UniquePen = UniqueAny<GdiObjectTraits<HPEN>>;
using UniqueIcon = UniqueAny<IconTraits>;
using UniqueMenu = UniqueAny<MenuTraits>;
using UniqueServiceHandle = UniqueAny<ServiceHandleTraits>;

}  // namespace bakwyn
