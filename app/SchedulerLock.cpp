#include "app/SchedulerLock.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <utility>

#include "base/SystemMessage.h"
#include "base/Text.h"

namespace bakwyn::app {
namespace {

using UniqueSecurityDescriptor = UniqueAny<LocalMemoryTraits<PSECURITY_DESCRIPTOR>>;

// The system and administrators: all of the mutex (0x1f0001). Interactive and
// all authenticated users: SYNCHRONIZE alone (0x100000), which is what waiting
// for it, holding it and letting it go need; none of them can read or change
// its list, or take it over. Protected: nothing of the namespace's list is
// added to it. Owned by Administrators, which only the system and an
// administrator's process may name as owner.
constexpr wchar_t kLockSddl[] = L"O:BAD:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x100000;;;IU)(A;;0x100000;;;AU)";
// The same list for a program without administrator rights, which may not
// give the mutex to Administrators: it is then the user's own, and the
// service will find it squatted (see the header).
constexpr wchar_t kUsersLockSddl[] = L"D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x100000;;;IU)(A;;0x100000;;;AU)";

// The mutex `name`, made with the list `sddl` or, when it exists, opened: with
// READ_CONTROL too, to read its owner. `error` is the system's last error:
// ERROR_ALREADY_EXISTS with a handle for one that was there.
UniqueKernelHandle CreateMutexWithList(const wchar_t* sddl, const std::wstring& name, DWORD& error) {
  UniqueSecurityDescriptor descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr)) {
    error = GetLastError();
    return {};
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  UniqueKernelHandle mutex(CreateMutexExW(&attributes, name.c_str(), 0, SYNCHRONIZE | READ_CONTROL));
  error = GetLastError();
  return mutex;
}

// "DOMAIN\name (S-1-...)", or the SID alone when it names no account.
std::string Describe(PSID sid) {
  UniqueAny<LocalMemoryTraits<wchar_t*>> text;
  const std::string sidText = ConvertSidToStringSidW(sid, text.put()) ? FromWide(text.get()) : "?";
  wchar_t name[256] = {}, domain[256] = {};
  DWORD nameSize = 256, domainSize = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use) || !name[0]) return sidText;
  const std::wstring account = domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  return FromWide(account) + " (" + sidText + ")";
}

// Why the mutex that was there is not the system's or an administrator's;
// empty when it is. Only they can have made it with those owners.
std::string WhyNotTrusted(HANDLE mutex) {
  PSID owner = nullptr;
  UniqueSecurityDescriptor descriptor;
  const DWORD error = GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                      nullptr, descriptor.put());
  if (error != ERROR_SUCCESS) return "无法读取它的所有者: " + SystemMessage(error);
  if (!owner) return "它没有所有者";
  if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return {};
  return "所有者 " + Describe(owner) + " 不是系统或管理员";
}

// Whether the list the system or an administrator gives the mutex would let
// this process read it: only then does an unreadable one say it is not theirs.
bool OurListLetsUsRead() {
  for (const WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid}) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    if (CreateWellKnownSid(type, nullptr, sid, &size) && CheckTokenMembership(nullptr, sid, &member) && member)
      return true;
  }
  return false;
}

}  // namespace

SchedulerLock::SchedulerLock(std::function<void()> onAcquired, const std::wstring& name)
    : onAcquired_(std::move(onAcquired)) {
  open(name);
  if (!mutex_) return;
  thread_ = std::thread([this] { hold(); });
  WaitForSingleObject(tried_.get(), INFINITE);
}

SchedulerLock::SchedulerLock(OnCallersThread, const std::wstring& name) {
  open(name);
  if (!mutex_) return;
  const DWORD woke = WaitForSingleObject(mutex_.get(), 0);
  if (woke == WAIT_OBJECT_0 || woke == WAIT_ABANDONED) taken(woke == WAIT_ABANDONED);
}

void SchedulerLock::open(const std::wstring& name) {
  // The mutex may go (its last holder ended) between a create that found it
  // and the open that follows: then it is made again, a few times at most.
  for (int attempt = 0; attempt < 3 && !mutex_; ++attempt) {
    DWORD error = 0;
    mutex_ = CreateMutexWithList(kLockSddl, name, error);
    if (!mutex_ && error == ERROR_INVALID_OWNER) mutex_ = CreateMutexWithList(kUsersLockSddl, name, error);
    if (mutex_) {
      if (error == ERROR_ALREADY_EXISTS) squatter_ = WhyNotTrusted(mutex_.get());
      break;
    }
    if (error == ERROR_ACCESS_DENIED) {
      // It exists, and its list does not let us read it: as a program in a
      // user's session, ours would not either; as the system or an
      // administrator, ours would.
      mutex_.reset(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
      if (mutex_) {
        if (OurListLetsUsRead()) squatter_ = "它的访问控制列表不是系统或管理员设的";
        break;
      }
      error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) continue;
    }
    // Another kind of object under the name (ERROR_INVALID_HANDLE), or a
    // mutex we may not even wait on: there is nothing to wait for.
    squatter_ = error == ERROR_INVALID_HANDLE ? "这个名称被另一种对象占用" : "无法打开它: " + SystemMessage(error);
  }
  if (!mutex_ && squatter_.empty()) squatter_ = "无法打开它";
}

SchedulerLock::~SchedulerLock() {
  SetEvent(quit_.get());
  if (thread_.joinable()) {
    thread_.join();
  } else if (held()) {
    ReleaseMutex(mutex_.get());  // held on the caller's thread, which destroys this
  }
}

void SchedulerLock::hold() {
  // The quit event first: when both are signalled, nothing is taken only to
  // be let go at once.
  const HANDLE waits[] = {quit_.get(), mutex_.get()};
  // One look before the constructor returns, so that a free lock is held by then.
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 0);
  if (woke == WAIT_TIMEOUT) {
    SetEvent(tried_.get());
    woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }
  const bool taken = woke == WAIT_OBJECT_0 + 1 || woke == WAIT_ABANDONED_0 + 1;
  if (taken) {
    abandoned_.store(woke == WAIT_ABANDONED_0 + 1, std::memory_order_release);
    held_.store(true, std::memory_order_release);
    if (onAcquired_) onAcquired_();
  }
  SetEvent(tried_.get());
  if (!taken) return;
  WaitForSingleObject(quit_.get(), INFINITE);
  held_.store(false, std::memory_order_release);
  ReleaseMutex(mutex_.get());
}

}  // namespace bakwyn::app
