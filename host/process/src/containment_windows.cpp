#include "containment_windows.h"

// after windows.h
#include <sddl.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <vector>

#include "process/process.h"

namespace process {

namespace {

std::string systemError(const char* what, DWORD code) {
    return std::string(what) + " (system error " + std::to_string(code) + ")";
}

// The children's token, made once: nothing else of the run needs it.
struct Children {
    std::mutex made;
    bool contained = false;
    HANDLE token = nullptr;
    bool low = false;  // the token is at low integrity
    ContainmentReport report;
};

Children& children() {
    static Children* const all = new Children;  // never destroyed: children start late
    return *all;
}

// A primary token like ours, with every privilege but traversing folders
// removed, at low integrity when `low`.
HANDLE restrictedToken(bool low, std::string& why) {
    HANDLE ours = nullptr;
    if (!OpenProcessToken(
            GetCurrentProcess(),
            TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT, &ours)) {
        why = systemError("our own token", GetLastError());
        return nullptr;
    }
    HANDLE restricted = nullptr;
    const bool made = CreateRestrictedToken(ours, DISABLE_MAX_PRIVILEGE, 0, nullptr, 0, nullptr, 0,
                                            nullptr, &restricted);
    const DWORD error = GetLastError();
    CloseHandle(ours);
    if (!made) {
        why = systemError("a restricted token", error);
        return nullptr;
    }
    if (!low) {
        return restricted;
    }
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    TOKEN_MANDATORY_LABEL label{};
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    label.Label.Sid = sid;
    if (!CreateWellKnownSid(WinLowLabelSid, nullptr, sid, &size) ||
        !SetTokenInformation(restricted, TokenIntegrityLevel, &label,
                             sizeof label + GetLengthSid(sid))) {
        why = systemError("low integrity", GetLastError());
        CloseHandle(restricted);
        return nullptr;
    }
    return restricted;
}

// Our environment, with TMP and TEMP naming `folder`, as a block.
std::wstring environmentWith(const std::filesystem::path& folder) {
    std::wstring block;
    wchar_t* ours = GetEnvironmentStringsW();
    for (const wchar_t* entry = ours; entry != nullptr && *entry != L'\0';
         entry += wcslen(entry) + 1) {
        const std::wstring line = entry;
        const std::wstring name = line.substr(0, line.find(L'=', 1));
        if (_wcsicmp(name.c_str(), L"TMP") != 0 && _wcsicmp(name.c_str(), L"TEMP") != 0) {
            block += line;
            block += L'\0';
        }
    }
    if (ours != nullptr) {
        FreeEnvironmentStringsW(ours);
    }
    for (const wchar_t* name : {L"TEMP=", L"TMP="}) {
        block += name + folder.wstring();
        block += L'\0';
    }
    block += L'\0';
    return block;
}

}  // namespace

LowLabel::LowLabel(bool folder) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            folder ? L"S:(ML;OICI;NW;;;LW)" : L"S:(ML;;NW;;;LW)", SDDL_REVISION_1, &descriptor_,
            nullptr)) {
        throw ProcessError(systemError("cannot describe a low label", GetLastError()));
    }
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor_;
}

LowLabel::~LowLabel() {
    LocalFree(descriptor_);
}

Sandbox::~Sandbox() {
    if (!folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    if (folderHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(folderHandle);
    }
}

ContainmentReport containOnWindows(const Containment& containment) {
    Children& all = children();
    const std::lock_guard<std::mutex> one(all.made);
    if (all.contained) {
        return all.report;
    }
    all.contained = true;
    all.report.inPlace = {"job object", "job UI limits"};
    // A low-integrity child writes only what is labelled low, and the user's
    // own folders are not ours to relabel: with --writable the children
    // write as the user does, and the run says so.
    all.low = containment.writable.empty();
    std::string why;
    all.token = restrictedToken(all.low, why);
    if (all.token == nullptr) {
        all.report.missing = {"restricted token", "low integrity"};
        all.report.why = why;
    } else if (all.low) {
        all.report.inPlace.push_back("restricted token");
        all.report.inPlace.push_back("low integrity");
    } else {
        all.report.inPlace.push_back("restricted token");
        all.report.missing = {"low integrity"};
        all.report.why = "--writable folders are written at the user's own integrity";
    }
    return all.report;
}

bool containedOnWindows() {
    Children& all = children();
    const std::lock_guard<std::mutex> one(all.made);
    return all.contained;
}

std::unique_ptr<LowLabel> labelForChildren(bool folder) {
    Children& all = children();
    const std::lock_guard<std::mutex> one(all.made);
    return all.token != nullptr && all.low ? std::make_unique<LowLabel>(folder) : nullptr;
}

std::unique_ptr<Sandbox> sandboxFor() {
    Children& all = children();
    HANDLE token = nullptr;
    {
        const std::lock_guard<std::mutex> one(all.made);
        if (!all.contained || all.token == nullptr) {
            return nullptr;
        }
        token = all.token;
    }
    static std::atomic<unsigned> made{0};
    auto sandbox = std::make_unique<Sandbox>();
    sandbox->token = token;
    std::error_code error;
    const auto base = std::filesystem::temp_directory_path(error);
    if (error) {
        throw ProcessError("no folder for temporary files: " + error.message());
    }
    sandbox->folder = base / ("plugin-host-" + std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(++made));
    const std::unique_ptr<LowLabel> label = labelForChildren(true);
    if (!CreateDirectoryW(sandbox->folder.wstring().c_str(),
                          label ? label->attributes() : nullptr)) {
        const DWORD code = GetLastError();
        sandbox->folder.clear();
        throw ProcessError(systemError("cannot make the child's own folder", code));
    }
    sandbox->folderHandle =
        CreateFileW(sandbox->folder.wstring().c_str(), DELETE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    sandbox->environment = environmentWith(sandbox->folder);
    return sandbox;
}

void limitJob(HANDLE job) {
    JOBOBJECT_BASIC_UI_RESTRICTIONS limits{};
    limits.UIRestrictionsClass =
        JOB_OBJECT_UILIMIT_HANDLES | JOB_OBJECT_UILIMIT_DESKTOP | JOB_OBJECT_UILIMIT_EXITWINDOWS |
        JOB_OBJECT_UILIMIT_GLOBALATOMS | JOB_OBJECT_UILIMIT_READCLIPBOARD |
        JOB_OBJECT_UILIMIT_WRITECLIPBOARD | JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS |
        JOB_OBJECT_UILIMIT_DISPLAYSETTINGS;
    SetInformationJobObject(job, JobObjectBasicUIRestrictions, &limits, sizeof limits);
}

}  // namespace process
