#include "support/version_resource.h"

#include <cstring>

#include "support/fixtures.h"

namespace qelmo::test {

namespace {

// A VS_VERSIONINFO block: nodes of (length, value length, type, key, value, children), each on a
// four-byte boundary.
class VersionBlob {
public:
    size_t Begin(WORD valueLength, WORD type, const wchar_t* key) {
        Align();
        size_t at = bytes_.size();
        Word(0);
        Word(valueLength);
        Word(type);
        Text(key);
        Align();
        return at;
    }
    void End(size_t at) {
        WORD length = static_cast<WORD>(bytes_.size() - at);
        std::memcpy(&bytes_[at], &length, sizeof length);
    }
    void Word(WORD value) { Raw(&value, sizeof value); }
    void Text(const wchar_t* text) { Raw(text, (wcslen(text) + 1) * sizeof(wchar_t)); }
    void Raw(const void* data, size_t size) {
        const BYTE* p = static_cast<const BYTE*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    void Align() {
        while (bytes_.size() % 4)
            bytes_.push_back(0);
    }
    const std::vector<BYTE>& Bytes() const { return bytes_; }

private:
    std::vector<BYTE> bytes_;
};

}  // namespace

std::vector<BYTE> VersionResource(const std::vector<StringTable>& tables,
                                  const std::vector<std::pair<WORD, WORD>>& translations) {
    VersionBlob blob;
    size_t root = blob.Begin(sizeof(VS_FIXEDFILEINFO), 0, L"VS_VERSION_INFO");
    VS_FIXEDFILEINFO fixed{};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileType = VFT_DLL;
    fixed.dwFileOS = VOS_NT_WINDOWS32;
    blob.Raw(&fixed, sizeof fixed);
    size_t strings = blob.Begin(0, 1, L"StringFileInfo");
    for (const StringTable& table : tables) {
        size_t block = blob.Begin(0, 1, table.name);
        size_t value =
            blob.Begin(static_cast<WORD>(table.fileVersion.size() + 1), 1, L"FileVersion");
        blob.Text(table.fileVersion.c_str());
        blob.End(value);
        blob.End(block);
    }
    blob.End(strings);
    size_t vars = blob.Begin(0, 1, L"VarFileInfo");
    size_t var =
        blob.Begin(static_cast<WORD>(translations.size() * 2 * sizeof(WORD)), 0, L"Translation");
    for (const auto& [language, codePage] : translations) {
        blob.Word(language);
        blob.Word(codePage);
    }
    blob.End(var);
    blob.End(vars);
    blob.End(root);
    return blob.Bytes();
}

::testing::AssertionResult WriteModule(const std::wstring& path,
                                       const std::vector<BYTE>& resource) {
    const std::wstring plain = test::BinDir() + L"fixtures\\noversion.dll";
    if (!CopyFileW(plain.c_str(), path.c_str(), FALSE))
        return ::testing::AssertionFailure() << "copy " << GetLastError();
    HANDLE update = BeginUpdateResourceW(path.c_str(), FALSE);
    if (!update) return ::testing::AssertionFailure() << "begin " << GetLastError();
    if (!UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO),
                         MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                         const_cast<BYTE*>(resource.data()), static_cast<DWORD>(resource.size()))) {
        DWORD error = GetLastError();
        EndUpdateResourceW(update, TRUE);
        return ::testing::AssertionFailure() << "update " << error;
    }
    if (!EndUpdateResourceW(update, FALSE))
        return ::testing::AssertionFailure() << "end " << GetLastError();
    return ::testing::AssertionSuccess();
}

}  // namespace qelmo::test
