#include "fault/fault_sim.h"

#include <aclapi.h>
#include <setupapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>
#include <map>
#include <set>

#include "fault/fault_hooks.h"
#include "common/handles.h"

namespace qelmo::fault::sim {
namespace {

constexpr const wchar_t* kDriverService = L"qelmo";

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        c = towlower(c);
    return text;
}

bool SameText(const wchar_t* a, const wchar_t* b) {
    return a && b && _wcsicmp(a, b) == 0;
}

// ---- service security --------------------------------------------------------------------------

struct SecurityStore {
    std::map<std::wstring, std::vector<BYTE>> dacls;  // by lower-case service name
    std::map<std::wstring, bool> protectedDacls;
    std::vector<std::vector<BYTE>> writes;
};

SecurityStore& Store() {
    static SecurityStore store;
    return store;
}

std::vector<BYTE> SidBytes(const wchar_t* text) {
    PSID sid = nullptr;
    std::vector<BYTE> bytes;
    if (!ConvertStringSidToSidW(text, &sid)) return bytes;
    const LocalMem owner(sid);
    bytes.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    return bytes;
}

// Windows' default DACL of a kernel driver service made by CreateService.
std::vector<BYTE> DefaultServiceDacl() {
    const std::pair<const wchar_t*, ACCESS_MASK> entries[] = {
        {L"S-1-5-18", 0x000201FD},      // SYSTEM
        {L"S-1-5-32-544", 0x000F01FF},  // Administrators: SERVICE_ALL_ACCESS
        {L"S-1-5-4", 0x0002018D},       // interactive users
        {L"S-1-5-6", 0x0002018D},       // service accounts
    };
    std::vector<std::vector<BYTE>> sids;
    DWORD size = sizeof(ACL);
    for (const auto& entry : entries) {
        sids.push_back(SidBytes(entry.first));
        size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sids.back().size());
    }
    std::vector<BYTE> acl(size);
    InitializeAcl(reinterpret_cast<PACL>(acl.data()), size, ACL_REVISION);
    for (size_t i = 0; i < sids.size(); ++i)
        AddAccessAllowedAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, entries[i].second,
                            sids[i].data());
    return acl;
}

std::vector<Ace> Aces(const std::vector<BYTE>& bytes) {
    std::vector<Ace> aces;
    auto* acl = reinterpret_cast<PACL>(const_cast<BYTE*>(bytes.data()));
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(acl, i, &raw)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        // Allowed and denied ACEs share their layout: header, mask, SID.
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        wchar_t* text = nullptr;
        std::wstring sid;
        if (ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &text)) {
            const LocalMem owner(text);
            sid = text;
        }
        aces.push_back({header->AceType, ace->Mask, sid});
    }
    return aces;
}

bool ServiceExists(const wchar_t* name) {
    const ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return false;
    return static_cast<bool>(ScHandle(OpenServiceW(scm.get(), name, SERVICE_QUERY_STATUS)));
}

const std::vector<BYTE>& DaclOf(const std::wstring& name) {
    SecurityStore& store = Store();
    auto found = store.dacls.find(Lower(name));
    if (found == store.dacls.end())
        found = store.dacls.emplace(Lower(name), DefaultServiceDacl()).first;
    return found->second;
}

DWORD WINAPI SimGetNamedSecurityInfoW(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                      PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                      PSECURITY_DESCRIPTOR* descriptor) {
    if (type != SE_SERVICE)
        return OriginalAs<decltype(&GetNamedSecurityInfoW)>("GetNamedSecurityInfoW")(
            name, type, info, owner, group, dacl, sacl, descriptor);
    if (!name || !ServiceExists(name)) {
        if (name) Store().dacls.erase(Lower(name));  // a new service gets the default again
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    // A self-relative descriptor in one block, as the real call returns it: header, group SID
    // (SYSTEM), DACL. The caller frees the block.
    const std::vector<BYTE>& acl = DaclOf(name);
    const std::vector<BYTE> groupSid = SidBytes(L"S-1-5-18");
    const DWORD groupAt = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    const DWORD daclAt = groupAt + static_cast<DWORD>(groupSid.size());
    const DWORD size = daclAt + static_cast<DWORD>(acl.size());
    auto* block = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    auto* header = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(block);
    header->Revision = SECURITY_DESCRIPTOR_REVISION;
    header->Control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
    if (Store().protectedDacls[Lower(name)]) header->Control |= SE_DACL_PROTECTED;
    header->Group = groupAt;
    header->Dacl = daclAt;
    std::memcpy(block + groupAt, groupSid.data(), groupSid.size());
    std::memcpy(block + daclAt, acl.data(), acl.size());
    if (owner) *owner = nullptr;
    if (sacl) *sacl = nullptr;
    if (group) *group = (info & GROUP_SECURITY_INFORMATION) ? block + groupAt : nullptr;
    if (dacl)
        *dacl =
            (info & DACL_SECURITY_INFORMATION) ? reinterpret_cast<PACL>(block + daclAt) : nullptr;
    if (descriptor) *descriptor = block;
    return ERROR_SUCCESS;
}

DWORD WINAPI SimSetNamedSecurityInfoW(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                      PSID owner, PSID group, PACL dacl, PACL sacl) {
    if (type != SE_SERVICE)
        return OriginalAs<decltype(&SetNamedSecurityInfoW)>("SetNamedSecurityInfoW")(
            name, type, info, owner, group, dacl, sacl);
    if (!name || !ServiceExists(name)) return ERROR_SERVICE_DOES_NOT_EXIST;
    if ((info & DACL_SECURITY_INFORMATION) && dacl) {
        const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
        std::vector<BYTE> copy(bytes, bytes + dacl->AclSize);
        Store().dacls[Lower(name)] = copy;
        Store().protectedDacls[Lower(name)] = (info & PROTECTED_DACL_SECURITY_INFORMATION) != 0;
        Store().writes.push_back(copy);
    }
    return ERROR_SUCCESS;
}

// ---- pending states ----------------------------------------------------------------------------

struct Pending {
    PendingScript start, stop;
    bool startArmed = false, stopArmed = false;  // the script has not run yet
    bool starting = false, stopping = false;     // the script runs now
    size_t next = 0;
    int startSeen = 0, stopSeen = 0;
    std::set<SC_HANDLE> driverHandles;
};

Pending& ThePending() {
    static Pending pending;
    return pending;
}

SC_HANDLE WINAPI SimOpenServiceW(SC_HANDLE scm, LPCWSTR name, DWORD access) {
    SC_HANDLE handle = OriginalAs<decltype(&OpenServiceW)>("OpenServiceW")(scm, name, access);
    if (handle && SameText(name, kDriverService)) ThePending().driverHandles.insert(handle);
    return handle;
}

BOOL WINAPI SimCloseServiceHandle(SC_HANDLE handle) {
    ThePending().driverHandles.erase(handle);
    return OriginalAs<decltype(&CloseServiceHandle)>("CloseServiceHandle")(handle);
}

// Fills `status` with the next pending status of the running script; false when it has ended.
bool NextPending(SERVICE_STATUS* status) {
    Pending& p = ThePending();
    const bool starting = p.starting;
    const PendingScript& script = starting ? p.start : p.stop;
    if (!p.starting && !p.stopping) return false;
    if (p.next >= script.checkPoints.size()) {
        if (!script.stuck || script.checkPoints.empty()) {
            p.starting = p.stopping = false;
            return false;
        }
        p.next = script.checkPoints.size() - 1;
    }
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = SERVICE_KERNEL_DRIVER;
    status->dwCurrentState = starting ? SERVICE_START_PENDING : SERVICE_STOP_PENDING;
    status->dwControlsAccepted = starting ? 0 : SERVICE_ACCEPT_STOP;
    status->dwWaitHint = script.waitHint;
    status->dwCheckPoint = script.checkPoints[p.next++];
    ++(starting ? p.startSeen : p.stopSeen);
    return true;
}

BOOL WINAPI SimQueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
    if (status && ThePending().driverHandles.count(handle) && NextPending(status)) return TRUE;
    return OriginalAs<decltype(&QueryServiceStatus)>("QueryServiceStatus")(handle, status);
}

BOOL WINAPI SimStartServiceW(SC_HANDLE handle, DWORD count, LPCWSTR* arguments) {
    const BOOL started =
        OriginalAs<decltype(&StartServiceW)>("StartServiceW")(handle, count, arguments);
    Pending& p = ThePending();
    if (started && p.startArmed && p.driverHandles.count(handle)) {
        p.startArmed = false;
        p.starting = true;
        p.stopping = false;
        p.next = 0;
    }
    return started;
}

BOOL WINAPI SimControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
    const BOOL done =
        OriginalAs<decltype(&ControlService)>("ControlService")(handle, control, status);
    Pending& p = ThePending();
    if (done && control == SERVICE_CONTROL_STOP && p.stopArmed && p.driverHandles.count(handle)) {
        p.stopArmed = false;
        p.stopping = true;
        p.starting = false;
        p.next = 0;
        if (status) NextPending(status);
    }
    return done;
}

// ---- files in use ------------------------------------------------------------------------------

struct InUse {
    std::set<std::wstring> paths;  // lower case
    int refused = 0;
};

InUse& TheInUse() {
    static InUse inUse;
    return inUse;
}

bool IsInUse(const wchar_t* path) {
    return path && TheInUse().paths.count(Lower(path)) != 0;
}

BOOL Refuse() {
    ++TheInUse().refused;
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
}

BOOL WINAPI SimDeleteFileW(LPCWSTR path) {
    if (IsInUse(path)) return Refuse();
    return OriginalAs<decltype(&DeleteFileW)>("DeleteFileW")(path);
}

BOOL WINAPI SimMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    // Overwriting a file in use is refused; scheduling its deletion at restart is what Windows
    // offers for it, and renaming it is allowed.
    if (to && (flags & MOVEFILE_REPLACE_EXISTING) && IsInUse(to)) return Refuse();
    return OriginalAs<decltype(&MoveFileExW)>("MoveFileExW")(from, to, flags);
}

BOOL WINAPI SimCopyFileExW(LPCWSTR from, LPCWSTR to, LPPROGRESS_ROUTINE progress, LPVOID data,
                           LPBOOL cancel, DWORD flags) {
    if (IsInUse(to)) return Refuse();
    return OriginalAs<decltype(&CopyFileExW)>("CopyFileExW")(from, to, progress, data, cancel,
                                                             flags);
}

// ---- marked for deletion -----------------------------------------------------------------------

struct Marking {
    ScHandle scm, other;  // the other program's handles
    int deletions = 0;
    int refusedStarts = 0;
};

Marking& TheMarking() {
    static Marking marking;
    return marking;
}

// Asks the service manager itself: a configuration change that changes nothing fails with 1072
// only for a marked service.
bool ServiceMarked() {
    const ScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return false;
    const ScHandle service(OpenServiceW(scm.get(), kDriverService, SERVICE_CHANGE_CONFIG));
    if (!service) return false;
    if (ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        return false;
    return GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

// Windows writes DeleteFlag = 1 into the key of a service it marks; Wine writes nothing.
void WriteDeleteFlagWhenMarked() {
    if (!ServiceMarked()) return;
    const DWORD one = 1;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\qelmo",
                    L"DeleteFlag", REG_DWORD, &one, sizeof one);
}

// Windows opens a marked service and answers its status, but refuses to start it.
BOOL WINAPI SimStartMarkedServiceW(SC_HANDLE service, DWORD count, LPCWSTR* arguments) {
    if (ServiceMarked()) {
        ++TheMarking().refusedStarts;
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    return OriginalAs<decltype(&StartServiceW)>("StartServiceW")(service, count, arguments);
}

BOOL WINAPI SimDeleteService(SC_HANDLE service) {
    ++TheMarking().deletions;
    const BOOL deleted = OriginalAs<decltype(&DeleteService)>("DeleteService")(service);
    const DWORD error = GetLastError();
    WriteDeleteFlagWhenMarked();
    SetLastError(error);
    return deleted;
}

void WINAPI SimInstallHinfSectionW(HWND window, HINSTANCE instance, LPCWSTR command, INT show) {
    OriginalAs<decltype(&InstallHinfSectionW)>("InstallHinfSectionW")(window, instance, command,
                                                                      show);
    // A DelService of the uninstall section marks the service like DeleteService does.
    WriteDeleteFlagWhenMarked();
}

void Replace(const char* name, void* replacement) {
    SetReplacement(FunctionId(name), replacement);
}

}  // namespace

ServiceSecurity::ServiceSecurity() {
    Store() = SecurityStore{};
    Replace("GetNamedSecurityInfoW", reinterpret_cast<void*>(&SimGetNamedSecurityInfoW));
    Replace("SetNamedSecurityInfoW", reinterpret_cast<void*>(&SimSetNamedSecurityInfoW));
}

ServiceSecurity::~ServiceSecurity() {
    Replace("GetNamedSecurityInfoW", nullptr);
    Replace("SetNamedSecurityInfoW", nullptr);
    Store() = SecurityStore{};
}

std::vector<Ace> ServiceSecurity::Dacl(const std::wstring& service) const {
    return Aces(DaclOf(service));
}

bool ServiceSecurity::Protected(const std::wstring& service) const {
    return Store().protectedDacls[Lower(service)];
}

std::vector<std::vector<Ace>> ServiceSecurity::Writes() const {
    std::vector<std::vector<Ace>> writes;
    for (const std::vector<BYTE>& bytes : Store().writes)
        writes.push_back(Aces(bytes));
    return writes;
}

void ServiceSecurity::ClearWrites() {
    Store().writes.clear();
}

PendingStates::PendingStates(PendingScript start, PendingScript stop) {
    Pending& p = ThePending();
    p = Pending{};
    p.start = std::move(start);
    p.stop = std::move(stop);
    p.startArmed = !p.start.checkPoints.empty();
    p.stopArmed = !p.stop.checkPoints.empty();
    Replace("OpenServiceW", reinterpret_cast<void*>(&SimOpenServiceW));
    Replace("CloseServiceHandle", reinterpret_cast<void*>(&SimCloseServiceHandle));
    Replace("QueryServiceStatus", reinterpret_cast<void*>(&SimQueryServiceStatus));
    Replace("StartServiceW", reinterpret_cast<void*>(&SimStartServiceW));
    Replace("ControlService", reinterpret_cast<void*>(&SimControlService));
}

PendingStates::~PendingStates() {
    for (const char* name : {"OpenServiceW", "CloseServiceHandle", "QueryServiceStatus",
                             "StartServiceW", "ControlService"})
        Replace(name, nullptr);
    ThePending() = Pending{};
}

int PendingStates::StartPendingSeen() const {
    return ThePending().startSeen;
}

int PendingStates::StopPendingSeen() const {
    return ThePending().stopSeen;
}

FilesInUse::FilesInUse(std::vector<std::wstring> paths) {
    TheInUse() = InUse{};
    for (const std::wstring& path : paths)
        TheInUse().paths.insert(Lower(path));
    Replace("DeleteFileW", reinterpret_cast<void*>(&SimDeleteFileW));
    Replace("MoveFileExW", reinterpret_cast<void*>(&SimMoveFileExW));
    Replace("CopyFileExW", reinterpret_cast<void*>(&SimCopyFileExW));
}

FilesInUse::~FilesInUse() {
    for (const char* name : {"DeleteFileW", "MoveFileExW", "CopyFileExW"})
        Replace(name, nullptr);
    TheInUse() = InUse{};
}

int FilesInUse::Refused() const {
    return TheInUse().refused;
}

MarkedForDeletion::MarkedForDeletion() {
    Marking& m = TheMarking();
    m = Marking{};
    m.scm = ScHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (m.scm) m.other = ScHandle(OpenServiceW(m.scm.get(), kDriverService, SERVICE_QUERY_STATUS));
    Replace("StartServiceW", reinterpret_cast<void*>(&SimStartMarkedServiceW));
    Replace("DeleteService", reinterpret_cast<void*>(&SimDeleteService));
    Replace("InstallHinfSectionW", reinterpret_cast<void*>(&SimInstallHinfSectionW));
}

MarkedForDeletion::~MarkedForDeletion() {
    for (const char* name : {"StartServiceW", "DeleteService", "InstallHinfSectionW"})
        Replace(name, nullptr);
    TheMarking() = Marking{};
}

bool MarkedForDeletion::Holding() const {
    return static_cast<bool>(TheMarking().other);
}

void MarkedForDeletion::Release() {
    TheMarking().other.reset();
    TheMarking().scm.reset();
}

bool MarkedForDeletion::Marked() const {
    return ServiceMarked();
}

int MarkedForDeletion::Deletions() const {
    return TheMarking().deletions;
}

int MarkedForDeletion::RefusedStarts() const {
    return TheMarking().refusedStarts;
}

}  // namespace qelmo::fault::sim
