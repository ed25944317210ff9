// Windows behaviour that Wine does not show, simulated through the plug-in's patched import table
// (fault_hooks.h). Each simulation replaces what some imports do while it lives, and passes every
// call it does not concern to the real function.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qelmo::fault::sim {

// One ACE of a DACL: its type (ACCESS_ALLOWED_ACE_TYPE ...), mask and SID ("S-1-5-32-544").
struct Ace {
    BYTE type;
    ACCESS_MASK mask;
    std::wstring sid;
};

// A service object with a real security descriptor. Wine's GetNamedSecurityInfoW on a service
// returns an empty DACL and its SetNamedSecurityInfoW stores nothing; here they read and write a
// DACL kept per service name, which starts as Windows' default DACL for a kernel driver service:
// SYSTEM 0x000201FD, Administrators 0x000F01FF (SERVICE_ALL_ACCESS), interactive users and
// service accounts 0x0002018D. A service that does not exist gives 1060.
class ServiceSecurity {
public:
    ServiceSecurity();
    ~ServiceSecurity();
    ServiceSecurity(const ServiceSecurity&) = delete;
    ServiceSecurity& operator=(const ServiceSecurity&) = delete;

    // The DACL the service has now (the default one when nothing was written).
    std::vector<Ace> Dacl(const std::wstring& service) const;
    // True when the last write asked for a protected DACL.
    bool Protected(const std::wstring& service) const;
    // Every DACL written since the last ClearWrites, in order.
    std::vector<std::vector<Ace>> Writes() const;
    void ClearWrites();
};

// What a service reports after a start or a stop before it settles.
struct PendingScript {
    DWORD waitHint = 0;
    std::vector<DWORD> checkPoints;  // one status per query (the first one for a stop comes
                                     // back from ControlService itself)
    bool stuck = false;              // the last checkpoint repeats for ever
};

// A kernel driver that reports START_PENDING / STOP_PENDING with wait hints and checkpoints
// before it settles (Wine's drivers are running or stopped at once). The scripts apply to the
// first start and the first stop of "qelmo" after construction; later ones are real.
class PendingStates {
public:
    PendingStates(PendingScript start, PendingScript stop);
    ~PendingStates();
    PendingStates(const PendingStates&) = delete;
    PendingStates& operator=(const PendingStates&) = delete;

    // The pending statuses handed out.
    int StartPendingSeen() const;
    int StopPendingSeen() const;
};

// A module file that is in use, as a loaded DLL is on Windows: deleting it fails with a sharing
// violation (32), and so does overwriting it; renaming it works. (Wine deletes a file that is
// only mapped.)
class FilesInUse {
public:
    explicit FilesInUse(std::vector<std::wstring> paths);
    ~FilesInUse();
    FilesInUse(const FilesInUse&) = delete;
    FilesInUse& operator=(const FilesInUse&) = delete;

    // Deletions and overwrites refused so far.
    int Refused() const;
};

// Another program holding a handle to "qelmo" while the service is deleted, as a monitoring tool
// or a second service manager console does on Windows. The constructor opens that other handle
// (outside the plug-in). A deletion while it is open, by the plug-in's DeleteService or by the
// DelService of an INF section, only marks the service, as Wine's service manager does too; what
// Wine does not show is simulated:
//   - StartServiceW of a marked service fails with 1072 (ERROR_SERVICE_MARKED_FOR_DELETE); Wine
//     starts it. Both open it and answer its status (the service manager's protocol names no
//     such failure for an open);
//   - the service key gets DeleteFlag = 1 (REG_DWORD) as Windows writes it; Wine writes nothing.
// CreateServiceW and ChangeServiceConfigW of a marked service fail with 1072 in Wine as on
// Windows; the INF install section reaches them inside the setup API, outside the plug-in's
// import table, so the real section runs and meets Wine's real refusal. Closing the other handle
// lets Wine complete the deletion (the key goes with its DeleteFlag) once the service is stopped.
class MarkedForDeletion {
public:
    MarkedForDeletion();
    ~MarkedForDeletion();
    MarkedForDeletion(const MarkedForDeletion&) = delete;
    MarkedForDeletion& operator=(const MarkedForDeletion&) = delete;

    // False when the other handle could not be opened (the service does not exist).
    bool Holding() const;
    // Closes the other handle.
    void Release();
    // True while the service manager holds the service marked for deletion.
    bool Marked() const;
    // DeleteService calls of the plug-in, and StartServiceW calls refused with 1072.
    int Deletions() const;
    int RefusedStarts() const;
};

}  // namespace qelmo::fault::sim
