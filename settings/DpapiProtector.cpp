#include "settings/DpapiProtector.h"

#include <windows.h>
#include <dpapi.h>

#include "base/WinHandles.h"

namespace bakwyn::settings {
namespace {

// Ties the protected bytes to this program: another program calling DPAPI on
// the same computer cannot unprotect them without knowing this too.
constexpr char kEntropy[] = "Bakwyn control state";

// crypt32 is loaded only while a password is protected or read back (at start-up
// and on save): the program spends its life waiting in the tray, and the library
// with what it pulls in would stay in its memory for nothing all that time.
class Crypt32 {
 public:
  Crypt32() : module_(LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    if (!module_) throw ProtectionError("crypt32.dll cannot be loaded (error " + std::to_string(GetLastError()) + ")");
  }
  template <typename Function>
  Function* get(const char* name) const {
    FARPROC proc = GetProcAddress(module_.get(), name);
    if (!proc) throw ProtectionError(std::string("crypt32.dll has no ") + name);
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(proc));
  }

 private:
  UniqueModule module_;
};

DATA_BLOB BlobOf(std::string_view bytes) {
  return DATA_BLOB{static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
}

}  // namespace

std::string DpapiProtector::protect(std::string_view secret) const {
  DATA_BLOB in = BlobOf(secret);
  DATA_BLOB entropy = BlobOf(std::string_view(kEntropy, sizeof kEntropy - 1));
  DATA_BLOB out{};
  const Crypt32 crypt32;
  // Machine scope: the program started at log-on and every administrator who
  // opens the settings must read the same password.
  if (!crypt32.get<decltype(CryptProtectData)>("CryptProtectData")(&in, nullptr, &entropy, nullptr, nullptr,
                        CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    throw ProtectionError("The password cannot be protected (error " + std::to_string(GetLastError()) + ")");
  }
  UniqueAny<LocalMemoryTraits<BYTE*>> owner(out.pbData);
  return std::string(reinterpret_cast<const char*>(out.pbData), out.cbData);
}

std::string DpapiProtector::unprotect(std::string_view bytes) const {
  DATA_BLOB in = BlobOf(bytes);
  DATA_BLOB entropy = BlobOf(std::string_view(kEntropy, sizeof kEntropy - 1));
  DATA_BLOB out{};
  const Crypt32 crypt32;
  if (!crypt32.get<decltype(CryptUnprotectData)>("CryptUnprotectData")(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    throw ProtectionError("The password cannot be unprotected (error " + std::to_string(GetLastError()) + ")");
  }
  UniqueAny<LocalMemoryTraits<BYTE*>> owner(out.pbData);
  return std::string(reinterpret_cast<const char*>(out.pbData), out.cbData);
}

}  // namespace bakwyn::settings
