// Looking at the objects of the machine from outside: listing them through
// the object directory of this logon session, and reading a live mapping.
//
// Named objects live in the session's BaseNamedObjects directory, which the
// documented API cannot enumerate; ntdll's directory-object calls can, and
// they are looked up at run time. Where they are missing or refuse (a
// sandbox without query rights on the directory), the listing is empty:
// objects can still be opened by name, only not found without one. Object
// names are never cut here, and the directory holds other programs' objects
// too; callers pick theirs by name.
#include "platform/platform.hpp"

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <cwchar>

namespace tarnvel::platform {

namespace {

constexpr ACCESS_MASK DIRECTORY_QUERY_RIGHT = 0x0001;
constexpr NTSTATUS NO_MORE_ENTRIES = static_cast<NTSTATUS>(0x8000001AL);

struct DirectoryEntry {
    UNICODE_STRING name;
    UNICODE_STRING type_name;
};

using OpenDirectory = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
using QueryDirectory = NTSTATUS(NTAPI*)(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, PULONG, PULONG);

const wchar_t* type_name_of(ObjectType type) noexcept {
    switch (type) {
        case ObjectType::mutex:
            return L"Mutant";
        case ObjectType::event:
            return L"Event";
        case ObjectType::mapping:
            break;
    }
    return L"Section";
}

// Names were made with the ANSI calls, so the ANSI code page gives back
// their bytes.
std::string narrow(const UNICODE_STRING& text) {
    const int length = static_cast<int>(text.Length / sizeof(wchar_t));
    if (length == 0) return {};
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text.Buffer, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.Buffer, length, out.data(), bytes, nullptr, nullptr);
    return out;
}

bool same_text(const UNICODE_STRING& text, const wchar_t* expected) noexcept {
    const size_t length = text.Length / sizeof(wchar_t);
    return std::wcslen(expected) == length && std::wmemcmp(text.Buffer, expected, length) == 0;
}

}  // namespace

std::vector<PresentObject> list_objects(ObjectType type) {
    std::vector<PresentObject> found;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return found;
    auto open_directory =
        reinterpret_cast<OpenDirectory>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtOpenDirectoryObject")));
    auto query_directory =
        reinterpret_cast<QueryDirectory>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryDirectoryObject")));
    if (open_directory == nullptr || query_directory == nullptr) return found;

    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) return found;
    wchar_t path[64];
    if (session == 0) {
        std::wcscpy(path, L"\\BaseNamedObjects");
    } else {
        std::swprintf(path, sizeof(path) / sizeof(path[0]), L"\\Sessions\\%lu\\BaseNamedObjects",
                      static_cast<unsigned long>(session));
    }
    UNICODE_STRING directory_name;
    directory_name.Buffer = path;
    directory_name.Length = static_cast<USHORT>(std::wcslen(path) * sizeof(wchar_t));
    directory_name.MaximumLength = directory_name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &directory_name, 0, nullptr, nullptr);
    HANDLE directory = nullptr;
    if (open_directory(&directory, DIRECTORY_QUERY_RIGHT, &attributes) < 0) return found;

    const wchar_t* wanted = type_name_of(type);
    // One entry at a time: names are short, and the buffer is reused.
    alignas(8) unsigned char buffer[4096];
    ULONG context = 0;
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        ULONG returned = 0;
        const NTSTATUS status = query_directory(directory, buffer, sizeof(buffer), TRUE, restart, &context, &returned);
        if (status == NO_MORE_ENTRIES || status < 0) break;
        const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer);
        if (!same_text(entry->type_name, wanted)) continue;
        std::string name = narrow(entry->name);
        if (name.empty()) continue;
        found.push_back({name, false, name, "Local\\" + name});
    }
    CloseHandle(directory);
    return found;
}

std::optional<std::vector<uint8_t>> read_mapping(const std::string& name, std::size_t size) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (mapping == nullptr) return std::nullopt;
    std::optional<std::vector<uint8_t>> copy;
    if (void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0)) {
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(view, &region, sizeof(region)) != 0 && region.RegionSize >= size) {
            copy.emplace(size);
            std::memcpy(copy->data(), view, size);
        }
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return copy;
}

}  // namespace tarnvel::platform
